// The real Linux adapter implementation, system calls and all, against a
// /dev/i2c-1 that umockdev emulates: the test answers each ioctl from the
// simulated chip, so the library's sentences come from real errno values.
// Runs under umockdev-wrapper; without it the test skips itself.
#include <gtest/gtest.h>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <umockdev.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <functional>
#include <optional>
#include <future>
#include <string>
#include <thread>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

#include "device/adapter_search.h"
#include "device/device_session.h"

namespace {

using vexlink06::AdapterError;

// umockdev_in_mock_environment() only turns true once a test bed exists; the
// wrapper is known by its preload.
bool underWrapper()
{
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "umockdev-preload");
}

// What the emulated kernel answers, set by each test.
struct Kernel {
    unsigned long funcs =
        I2C_FUNC_SMBUS_BYTE_DATA | I2C_FUNC_SMBUS_WORD_DATA | I2C_FUNC_SMBUS_BLOCK_DATA | I2C_FUNC_SMBUS_PEC;
    int failWith = 0;    // errno for every I2C_SMBUS (0: answer from the chip)
    int slaveBusy = -1;  // address whose I2C_SLAVE gives EBUSY
    int address = -1;
    bool pec = false;
};
Kernel g_kernel;

gboolean handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer)
{
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* error = nullptr;
    switch (request) {
    case I2C_FUNCS: {
        UMockdevIoctlData* out = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned long), &error);
        *reinterpret_cast<unsigned long*>(out->data) = g_kernel.funcs;
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE: {
        const auto address = static_cast<int>(*reinterpret_cast<unsigned long*>(arg->data));
        if (request == I2C_SLAVE && address == g_kernel.slaveBusy) {
            umockdev_ioctl_client_complete(client, -1, EBUSY);
            return TRUE;
        }
        g_kernel.address = address;
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case I2C_PEC:
        g_kernel.pec = *reinterpret_cast<unsigned long*>(arg->data) != 0;
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case I2C_SMBUS: {
        UMockdevIoctlData* req = umockdev_ioctl_data_resolve(arg, 0, sizeof(i2c_smbus_ioctl_data), &error);
        auto* r = reinterpret_cast<i2c_smbus_ioctl_data*>(req->data);
        if (g_kernel.failWith != 0) {
            umockdev_ioctl_client_complete(client, -1, g_kernel.failWith);
            return TRUE;
        }
        UMockdevIoctlData* payload =
            umockdev_ioctl_data_resolve(req, offsetof(i2c_smbus_ioctl_data, data), sizeof(i2c_smbus_data), &error);
        auto* data = reinterpret_cast<i2c_smbus_data*>(payload->data);
        sim::I2cAdapter& adapter = *sim::board().i2cAdapter(1);
        const auto a7 = static_cast<std::uint8_t>(g_kernel.address);
        int received = 0;
        sim::Outcome outcome = sim::Outcome::NoAck;
        if (r->size == I2C_SMBUS_BYTE_DATA && r->read_write == I2C_SMBUS_READ) {
            outcome = adapter.transfer(a7, std::span<const std::uint8_t>(&r->command, 1), 1, &data->byte, received,
                                       g_kernel.pec);
        } else if (r->size == I2C_SMBUS_BYTE_DATA) {
            const std::uint8_t out[2] = {r->command, data->byte};
            outcome = adapter.transfer(a7, out, 0, nullptr, received, g_kernel.pec);
        } else if (r->size == I2C_SMBUS_BLOCK_DATA && r->read_write == I2C_SMBUS_READ) {
            outcome = adapter.transfer(a7, std::span<const std::uint8_t>(&r->command, 1), -1, data->block + 1, received,
                                       g_kernel.pec);
            data->block[0] = static_cast<std::uint8_t>(received);
        }
        const int err = outcome == sim::Outcome::Ok ? 0 : outcome == sim::Outcome::BadPec ? EBADMSG : ENXIO;
        umockdev_ioctl_client_complete(client, err ? -1 : 0, err);
        return TRUE;
    }
    default: return FALSE;
    }
}

// The ioctl handler runs on a main context of its own thread, so a call
// blocked in ioctl() on the test's thread is answered.
class Emulation {
public:
    Emulation()
    {
        m_testbed = umockdev_testbed_new();
        m_syspath = addNode(1);
        m_context = g_main_context_new();
        m_loop = g_main_loop_new(m_context, FALSE);
        std::promise<void> attached;
        auto ready = attached.get_future();
        m_thread = std::thread([this, &attached] {
            g_main_context_push_thread_default(m_context);
            m_handler = umockdev_ioctl_base_new();
            g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(handleIoctl), nullptr);
            GError* e = nullptr;
            EXPECT_TRUE(umockdev_testbed_attach_ioctl(m_testbed, "/dev/i2c-1", m_handler, &e)) << (e ? e->message : "");
            m_number = 1;
            attached.set_value();
            g_main_loop_run(m_loop);
            g_main_context_pop_thread_default(m_context);
        });
        ready.wait();
    }
    // The adapter unplugged (its node and sysfs entry gone) and plugged in
    // again as i2c-`number`, as a USB bridge may come back; the ioctls are
    // attached on the handler's own thread.
    void unplug()
    {
        onHandlerThread([this] {
            umockdev_testbed_detach_ioctl(m_testbed, ("/dev/i2c-" + std::to_string(m_number)).c_str(), nullptr);
            umockdev_testbed_remove_device(m_testbed, m_syspath.c_str());
        });
    }
    int number() const { return m_number; }
    void plugIn(int number)
    {
        m_syspath = addNode(number);
        onHandlerThread([this, number] {
            GError* e = nullptr;
            EXPECT_TRUE(
                umockdev_testbed_attach_ioctl(m_testbed, ("/dev/i2c-" + std::to_string(number)).c_str(), m_handler, &e))
                << (e ? e->message : "");
            m_number = number;
        });
    }

    ~Emulation()
    {
        g_main_loop_quit(m_loop);
        m_thread.join();
        g_object_unref(m_testbed);
    }

private:
    // The adapter's node and sysfs entry, named as the default adapter.
    std::string addNode(int number)
    {
        const std::string n = std::to_string(number);
        const std::string text = "P: /devices/pci0000:00/0000:00:1f.3/i2c-" + n + "/i2c-dev/i2c-" + n + "\nN: i2c-" +
                                 n + "\nE: DEVNAME=/dev/i2c-" + n +
                                 "\nE: SUBSYSTEM=i2c-dev\nA: name=SMBus I801 adapter at efa0\nA: dev=89:" + n + "\n";
        GError* error = nullptr;
        EXPECT_TRUE(umockdev_testbed_add_from_string(m_testbed, text.c_str(), &error)) << (error ? error->message : "");
        return "/sys/devices/pci0000:00/0000:00:1f.3/i2c-" + n + "/i2c-dev/i2c-" + n;
    }

    void onHandlerThread(std::function<void()> work)
    {
        struct Call {
            std::function<void()> work;
            std::promise<void> done;
        } call{std::move(work), {}};
        auto done = call.done.get_future();
        g_main_context_invoke(
            m_context,
            [](gpointer data) -> gboolean {
                auto* c = static_cast<Call*>(data);
                c->work();
                c->done.set_value();
                return G_SOURCE_REMOVE;
            },
            &call);
        done.wait();
    }

    UMockdevTestbed* m_testbed = nullptr;
    std::string m_syspath;
    int m_number = 1;
    UMockdevIoctlBase* m_handler = nullptr;
    GMainContext* m_context = nullptr;
    GMainLoop* m_loop = nullptr;
    std::thread m_thread;
};

class LinuxAdapter : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!underWrapper())
            return;
        ::setenv("VEXLINK06_PLATFORM", "linux", 1);
        s_emulation = new Emulation();
    }
    void SetUp() override
    {
        if (!underWrapper())
            GTEST_SKIP() << "run under umockdev-wrapper";
        g_kernel = Kernel{};
        sim::board().reset();
        m_adapter = vexlink06::KernelAdapter::create();
        m_adapter->setBus(s_emulation->number());
    }
    AdapterError failure(const std::function<void()>& call)
    {
        try {
            call();
        } catch (const vexlink06::AdapterFailure& e) {
            return e.code();
        }
        return AdapterError::None;
    }

    static inline Emulation* s_emulation = nullptr;
    std::shared_ptr<vexlink06::KernelAdapter> m_adapter;
};

TEST_F(LinuxAdapter, ListsTheNodeWithItsSysfsNameAndFunctionality)
{
    const auto list = m_adapter->Adapters();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].Number, s_emulation->number());
    EXPECT_EQ(list[0].Name, "SMBus I801 adapter at efa0");
    EXPECT_TRUE(list[0].offers(vexlink06::FuncSMBusByteData | vexlink06::FuncSMBusPEC));
}

TEST_F(LinuxAdapter, ReadsAndWritesTheSimulatedChip)
{
    EXPECT_EQ(m_adapter->PortRead(0x2E, 0x3D), 0x31);
    m_adapter->PortWrite(0x2E, 0x22, 0x9A);
    EXPECT_EQ(sim::board().chip(0x5C)->peek(0x22), 0x9A);
    EXPECT_EQ(g_kernel.address, 0x2E);
}

TEST_F(LinuxAdapter, BlockReadWithPecOnAndOff)
{
    EXPECT_EQ(m_adapter->BlockRead(0x2E, 0xA1).size(), 32u);
    EXPECT_FALSE(g_kernel.pec);
    m_adapter->setUsePEC(vexlink06::True);
    EXPECT_EQ(m_adapter->BlockRead(0x2E, 0xA1).size(), 32u);
    EXPECT_TRUE(g_kernel.pec);
}

struct Mapping {
    const char* name;
    int err;
    AdapterError code;
};

class LinuxErrno : public LinuxAdapter, public ::testing::WithParamInterface<Mapping> { };

TEST_P(LinuxErrno, MapsToItsSentence)
{
    g_kernel.failWith = GetParam().err;
    EXPECT_EQ(failure([&] { m_adapter->PortRead(0x2E, 0x3D); }), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Kernel, LinuxErrno,
                         ::testing::Values(Mapping{"ENXIO", ENXIO, AdapterError::NoAck},
                                           Mapping{"EREMOTEIO", EREMOTEIO, AdapterError::NoAck},
                                           Mapping{"EBADMSG", EBADMSG, AdapterError::BadPec},
                                           Mapping{"ETIMEDOUT", ETIMEDOUT, AdapterError::Timeout},
                                           Mapping{"ENODEV", ENODEV, AdapterError::Gone},
                                           Mapping{"EOPNOTSUPP", EOPNOTSUPP, AdapterError::Unsupported},
                                           Mapping{"EIO", EIO, AdapterError::Io}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinuxAdapter, DriverOwnedAddressIsBusyUntilForced)
{
    g_kernel.slaveBusy = 0x2E;
    EXPECT_EQ(failure([&] { m_adapter->PortRead(0x2E, 0x3D); }), AdapterError::DriverOwned);
    m_adapter->setForce(vexlink06::True);
    EXPECT_EQ(m_adapter->PortRead(0x2E, 0x3D), 0x31);
}

TEST_F(LinuxAdapter, PecRefusedWhereTheAdapterHasNone)
{
    g_kernel.funcs &= ~static_cast<unsigned long>(I2C_FUNC_SMBUS_PEC);
    m_adapter->setUsePEC(vexlink06::True);
    EXPECT_EQ(failure([&] { m_adapter->BlockRead(0x2E, 0xA1); }), AdapterError::Unsupported);
}

// A USB bridge unplugged and plugged in again under another number: the
// kernel's ENODEV on the old node, nothing listed while it is away, then
// the adapter of the same name found under its new number, where the chip
// answers again.
TEST_F(LinuxAdapter, UnpluggedAdapterIsFoundAgainByItsNameUnderAnotherNumber)
{
    const std::string name = "SMBus I801 adapter at efa0";
    ASSERT_EQ(m_adapter->PortRead(0x2E, 0x3D), 0x31);
    g_kernel.failWith = ENODEV;
    EXPECT_EQ(failure([&] { m_adapter->PortRead(0x2E, 0x3D); }), AdapterError::Gone);
    s_emulation->unplug();
    g_kernel.failWith = 0;
    const int before = s_emulation->number();
    device::AdapterSearch search;
    search.lost("i2c-1 has gone away");
    const auto stillAway = [&] {
        try {
            (void)search.findAgain(name);
        } catch (const device::SessionError& e) {
            EXPECT_EQ(e.kind(), device::ErrorKind::BoardLost);
            return std::string(e.what());
        }
        return std::string("found");
    };
    EXPECT_EQ(stillAway(), "i2c-1 has gone away");

    s_emulation->plugIn(before + 2);
    std::optional<int> number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!number && std::chrono::steady_clock::now() < deadline) {
        try {
            number = search.findAgain(name);
        } catch (const device::SessionError&) {
            // Listings are half a second apart: until then, still away.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    EXPECT_EQ(number, before + 2);
    EXPECT_FALSE(search.away());
    m_adapter->setBus(before + 2);
    EXPECT_EQ(m_adapter->PortRead(0x2E, 0x3D), 0x31);
    // A node once made cannot be made again in the test bed: the tests
    // after this one use the adapter under its new number.
}

}  // namespace
