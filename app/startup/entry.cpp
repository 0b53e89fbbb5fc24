#include "startup/entry.h"

#include "device/register_link.h"
#include "shell/application.h"
#include "startup/frm_splash.h"
#include "startup/init_form.h"

#include <vexlink06/vexlink06.h>

#include <QPointer>

namespace startup {

InitForm* Main()
{
    QPointer<frmSplash> splash = new frmSplash();
    splash->show();
    splash->repaint();
    splash->setLoadingText(QStringLiteral("Loading Communications Module."));

    // A library that cannot be loaded or created is reported and the wizard
    // still comes up, so the user sees what failed instead of a vanished
    // program; the wizard's own load reports its part.
    try {
        auto printerPort = device::ComPort()->PrinterPort();
        auto protocall = printerPort ? printerPort->SMBusProtocall() : nullptr;
        if (!protocall)
            throw vexlink06::ComError(91, "Object variable or With block variable not set");
        protocall->setBitsToStayHigh(240);
    } catch (const std::exception& error) {
        shell::reportUnhandledError(error);
    }

    if (splash)
        splash->setLoadingText(QStringLiteral("Loading Search Module."));
    auto* wizard = new InitForm();
    wizard->setAttribute(Qt::WA_DeleteOnClose);
    wizard->show();
    delete splash.data();
    return wizard;
}

}  // namespace startup
