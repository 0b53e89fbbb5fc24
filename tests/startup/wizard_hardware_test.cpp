// The wizard on the real Linux back-ends of a described PC (the helper
// records instead of touching ports): what the medium panel says when the
// motherboard SMBus cannot be used, and that a PC without a supported
// controller starts without an error box.
#include "shell/label_colour.h"
#include "shell/ui_services.h"
#include "startup/entry.h"
#include "startup/init_form.h"

#include <QCheckBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/fake_pci_machine.h"
#include "support/test_folder.h"

namespace {

namespace fs = std::filesystem;

support::FakeFunction function(const char* name, std::uint32_t id, std::uint32_t classDword)
{
    support::FakeFunction f;
    f.name = name;
    f.id = id;
    f.classDword = classDword;
    return f;
}

// Every test runs in a process of its own (see main.cpp), so the back-end
// is chosen here, before anything loads the library.
class WizardOnHardware : public ::testing::Test {
protected:
    void start(const support::FakeMachine& machine)
    {
        m_root = support::freshTestFolder("fanscope-wizard-mb-");
        support::layOut(machine, m_root);
        ::setenv("VEXLINK06_LINUX_ROOT", m_root.c_str(), 1);
        ::setenv("VEXLINK06_PLATFORM", "linux", 1);
        wizard = startup::Main();
        ASSERT_NE(wizard, nullptr);
        label = wizard->findChild<QLabel*>(QStringLiteral("SMBusSearchDescLBL"));
        check = wizard->findChild<QCheckBox*>(QStringLiteral("SMBusCheck"));
        ASSERT_NE(label, nullptr);
        ASSERT_NE(check, nullptr);
    }
    void TearDown() override
    {
        const QString dir = qEnvironmentVariable("FANSCOPE_SCREENSHOT_DIR");
        if (wizard && !dir.isEmpty()) {
            wizard->findChild<QPushButton*>(QStringLiteral("NextCMD"))->click();
            wizard->grab().save(dir + QStringLiteral("/wizard-") +
                                QString::fromLatin1(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                                QStringLiteral(".png"));
        }
        delete wizard;
        fs::remove_all(m_root);
    }

    shell::ScopedScriptedUi ui;
    QPointer<startup::InitForm> wizard;
    QLabel* label = nullptr;
    QCheckBox* check = nullptr;
    fs::path m_root;
};

TEST_F(WizardOnHardware, KernelDriverOwningTheControllerIsNamedOnTheMediumPanel)
{
    support::FakeMachine m;
    support::FakeFunction smbus = function("0000:00:1f.3", 0x24D38086, 0x0C050002);
    smbus.dwords = {{0x20, 0x0000EFA1}};
    smbus.ioResources = {{0xEFA0, 0xEFBF}};
    smbus.driver = "i801_smbus";
    smbus.module = "i2c_i801";
    m.functions = {function("0000:00:00.0", 0x25708086, 0x06000000), smbus};
    m.ioports = "efa0-efbf : 0000:00:1f.3\n  efa0-efbf : i801_smbus\n";
    start(m);

    EXPECT_EQ(label->text().toStdString(),
              "The kernel driver \"i801_smbus\" owns the SMBus controller 0000:00:1f.3; unload it (sudo modprobe -r "
              "i2c_i801) to use the controller from here, or reach the chip through the kernel's own I2C adapter for "
              "this bus.");
    EXPECT_EQ(shell::textColour(label), shell::kDarkRed);
    EXPECT_FALSE(check->isEnabled());
    EXPECT_FALSE(check->isChecked());
    EXPECT_TRUE(support::helperLog(m_root).empty());
    EXPECT_TRUE(ui->messages.empty()) << ui->messages.front().text.toStdString();
}

TEST_F(WizardOnHardware, RecentIntelPcStartsWithoutAnErrorBox)
{
    support::FakeMachine m;
    support::FakeFunction audio = function("0000:00:1f.3", 0xA3488086, 0x04030000);
    audio.dwords = {{0x20, 0x00000004}};
    m.functions = {function("0000:00:00.0", 0x3E308086, 0x06000000), audio,
                   function("0000:00:1f.4", 0xA3238086, 0x0C050000)};
    m.ioports = "0000-001f : dma1\n";
    start(m);

    EXPECT_EQ(label->text(), QStringLiteral("The available southbridge or ICH is currently unsupported."));
    EXPECT_FALSE(check->isEnabled());
    EXPECT_TRUE(support::helperLog(m_root).empty());
    EXPECT_TRUE(ui->messages.empty()) << ui->messages.front().text.toStdString();
}

}  // namespace
