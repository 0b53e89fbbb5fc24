// The device files of exec laid out in the test bed and attached to their
// ioctl handlers (the drivers' answers are in exec_i2c.cpp and
// exec_ppdev.cpp).
#include "exec_devices.h"

#include <grp.h>
#include <linux/i2c.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <sim/board_link.h>

#include "exec_node.h"
#include "i2cadapter_abi.h"
#include "parport_abi.h"

namespace boardexec {

void Devices::Node::closeAll()
{
    for (auto& [client, file] : i2cFiles) {
        if (file.handle >= 0)
            VxI2cClose(file.handle);
    }
    i2cFiles.clear();
    portFiles.clear();
    waiting.clear();
    if (owner != nullptr) {
        ReleaseParallelPort(number + 1);
        owner = nullptr;
    }
}

namespace {

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    auto* node = static_cast<Devices::Node*>(user);
    // Nothing else in exec asks for the shared board again once it went, so
    // every call of the command looks (at most once per backoff) whether one
    // answers by now: a restarted board is the same bench to the command.
    if (sim::BoardLink* link = sim::BoardLink::get(); link != nullptr && link->connection() == 0)
        link->reconnect();
    return node->kind == Devices::Node::Kind::I2c ? node->i2cIoctl(client) : node->portIoctl(client);
}

void onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    auto* node = static_cast<Devices::Node*>(user);
    if (node->kind == Devices::Node::Kind::I2c)
        node->i2cVanished(client);
    else
        node->portVanished(client);
}

bool addDevice(UMockdevTestbed* testbed, const std::string& record, std::string& why)
{
    GError* error = nullptr;
    if (umockdev_testbed_add_from_string(testbed, record.c_str(), &error))
        return true;
    why = std::string("cannot lay out the emulated devices: ") + (error ? error->message : "unknown error");
    if (error)
        g_error_free(error);
    return false;
}

// The node as the kernel's udev rules would leave it: open to all, or for
// an adapter that refuses this user, only to root and the adapter group.
void setNodeAccess(const std::filesystem::path& node, bool denied)
{
    if (const group* g = ::getgrnam("i2c"))
        (void)::chown(node.c_str(), 0, g->gr_gid);  // not root: the node stays the caller's
    (void)::chmod(node.c_str(), denied ? 0600 : 0666);
}

}  // namespace

Devices::Devices() = default;
Devices::~Devices() = default;

std::string Devices::layOut(UMockdevTestbed* testbed)
{
    std::string why;
    gchar* rootText = umockdev_testbed_get_root_dir(testbed);
    const std::filesystem::path root = rootText;
    g_free(rootText);

    // Kernel adapters: none at all without the i2c-dev module.
    const int32_t adapters = VxI2cListAdapters(nullptr, 0);
    std::vector<VxI2cAdapterInfo> infos(static_cast<std::size_t>(std::max(adapters, 0)));
    for (auto& info : infos)
        info.size = sizeof(VxI2cAdapterInfo);
    const int32_t listed = infos.empty() ? 0 : VxI2cListAdapters(infos.data(), static_cast<int32_t>(infos.size()));
    infos.resize(static_cast<std::size_t>(std::clamp<int32_t>(listed, 0, static_cast<int32_t>(infos.size()))));

    // Printer ports.
    const int32_t ports = GetParallelPortCount();

    if (const sim::BoardLink* link = sim::BoardLink::get(); link && !link->problem().empty())
        return link->problem();

    for (const auto& info : infos) {
        const std::string n = std::to_string(info.number);
        const std::string adapter = "/devices/platform/fanscope-board/i2c-" + n;
        // The device first, then its parent, as a device record lists them.
        const std::string record = "P: " + adapter + "/i2c-dev/i2c-" + n + "\nE: DEVNAME=/dev/i2c-" + n +
                                   "\nE: MAJOR=89\nE: MINOR=" + n + "\nE: SUBSYSTEM=i2c-dev\nA: dev=89:" + n +
                                   "\n\nP: " + adapter + "\nE: SUBSYSTEM=i2c\n";
        if (!addDevice(testbed, record, why))
            return why;
        // The kernel's attribute ends in a newline, which records cannot hold.
        const std::string name = std::string(info.name) + "\n";
        umockdev_testbed_set_attribute(testbed, ("/sys" + adapter).c_str(), "name", name.c_str());
        umockdev_testbed_set_attribute(testbed, ("/sys" + adapter + "/i2c-dev/i2c-" + n).c_str(), "name", name.c_str());
        auto node = std::make_unique<Node>();
        node->kind = Node::Kind::I2c;
        node->number = info.number;
        node->devnode = "/dev/i2c-" + n;
        node->name = info.name;
        // Every adapter takes plain I2C messages as far as the ABI can put
        // them on the bus (see rdwr()).
        node->functionality =
            (info.functionality != 0 ? info.functionality : static_cast<unsigned long>(VXI2C_FUNC_SMBUS_QUICK)) |
            I2C_FUNC_I2C;
        // Written out, so the node exists before the emulation attaches.
        std::ofstream(root / ("dev/i2c-" + n)).flush();
        setNodeAccess(root / ("dev/i2c-" + n), info.access == VXI2C_EACCES);
        m_nodes.push_back(std::move(node));
    }

    for (int32_t k = 0; k < ports; ++k) {
        PortInfoRecord info{};
        info.size = sizeof info;
        if (!GetParallelPortInfo(k + 1, &info))
            continue;
        const std::string n = std::to_string(k);
        const std::string record = "P: /devices/virtual/ppdev/parport" + n + "\nE: DEVNAME=/dev/parport" + n +
                                   "\nE: MAJOR=99\nE: MINOR=" + n + "\nE: SUBSYSTEM=ppdev\nA: dev=99:" + n + "\n";
        if (!addDevice(testbed, record, why))
            return why;
        // The kernel's list of ports, where the port back-ends find them.
        const auto proc = root / "proc/sys/dev/parport" / ("parport" + n);
        std::filesystem::create_directories(proc);
        std::ofstream(proc / "base-addr") << info.base << '\t' << (info.base + 0x400) << '\n';
        std::ofstream(proc / "irq") << "-1\n";
        std::ofstream(proc / "dma") << "-1\n";
        std::ofstream(proc / "modes") << "PCSPP,TRISTATE\n";
        std::ofstream(root / ("dev/parport" + n)).flush();
        (void)::chmod((root / ("dev/parport" + n)).c_str(), 0666);
        auto node = std::make_unique<Node>();
        node->kind = Node::Kind::Port;
        node->number = k;
        node->devnode = "/dev/parport" + n;
        node->base = info.base;
        m_nodes.push_back(std::move(node));
    }
    return {};
}

std::string Devices::attach(UMockdevTestbed* testbed)
{
    for (auto& node : m_nodes) {
        node->handler = umockdev_ioctl_base_new();
        g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(onIoctl), node.get());
        g_signal_connect(node->handler, "client-vanished", G_CALLBACK(onVanished), node.get());
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed, node->devnode.c_str(), node->handler, &error)) {
            std::string why = "cannot emulate " + node->devnode + ": " + (error ? error->message : "unknown error");
            if (error)
                g_error_free(error);
            return why;
        }
    }
    return {};
}

void Devices::closeAll()
{
    for (auto& node : m_nodes)
        node->closeAll();
}

}  // namespace boardexec
