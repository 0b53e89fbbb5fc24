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

    // Without the library's objects no window can do anything but call
    // through objects that do not exist: report the failure and end.
    try {
        const auto printerPort = device::required(device::required(device::ComPort())->PrinterPort());
        device::required(printerPort->SMBusProtocall())->setBitsToStayHigh(240);
    } catch (const std::exception& error) {
        shell::reportUnhandledError(error);
        delete splash.data();
        return nullptr;
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
