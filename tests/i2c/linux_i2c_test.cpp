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
#include <functional>
#include <future>
#include <thread>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

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
        GError* error = nullptr;
        const gboolean ok = umockdev_testbed_add_from_string(m_testbed,
                                                             "P: /devices/pci0000:00/0000:00:1f.3/i2c-1/i2c-dev/i2c-1\n"
                                                             "N: i2c-1\n"
                                                             "E: DEVNAME=/dev/i2c-1\n"
                                                             "E: SUBSYSTEM=i2c-dev\n"
                                                             "A: name=SMBus I801 adapter at efa0\n"
                                                             "A: dev=89:1\n",
                                                             &error);
        EXPECT_TRUE(ok) << (error ? error->message : "");
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
            attached.set_value();
            g_main_loop_run(m_loop);
            g_main_context_pop_thread_default(m_context);
        });
        ready.wait();
    }
    ~Emulation()
    {
        g_main_loop_quit(m_loop);
        m_thread.join();
        g_object_unref(m_testbed);
    }

private:
    UMockdevTestbed* m_testbed = nullptr;
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
        m_adapter->setBus(1);
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
    EXPECT_EQ(list[0].Number, 1);
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

}  // namespace
