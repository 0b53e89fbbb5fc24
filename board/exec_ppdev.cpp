// The kernel's ppdev driver as the command under exec meets it: each open
// file of /dev/parportK may claim the board's printer port, one at a time,
// and reaches its registers through the port ABI.
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

#include "exec_node.h"
#include "parport_abi.h"

namespace boardexec {

namespace {

// Every ppdev port offers the standard registers and a tristate data port;
// the simulated adapters use nothing more.
constexpr unsigned kPortModes = PARPORT_MODE_PCSPP | PARPORT_MODE_TRISTATE;
// The control lines parport_pc lets a caller write and reads back.
constexpr unsigned char kControlLines =
    PARPORT_CONTROL_STROBE | PARPORT_CONTROL_AUTOFD | PARPORT_CONTROL_INIT | PARPORT_CONTROL_SELECT;

}  // namespace

// Takes the board's port for `client`, as parport_claim() with the
// driver's state restored: control 0x0C (nInit high, SelectIn low).
bool Devices::Node::take(UMockdevIoctlClient* client)
{
    if (!ClaimParallelPort(number + 1, -1))
        return false;
    owner = client;
    portFiles[client].claimed = true;
    portFiles[client].registered = true;
    control = 0x0C;
    OutByte(address(2), control);
    return true;
}

// The owner let go: the first waiting claim gets the port.
void Devices::Node::handOn()
{
    ReleaseParallelPort(number + 1);
    owner = nullptr;
    while (!waiting.empty()) {
        UMockdevIoctlClient* next = waiting.front();
        waiting.pop_front();
        if (!portFiles.count(next))
            continue;  // gone while it waited
        complete(next, take(next) ? 0 : EBUSY);
        return;
    }
}

bool Devices::Node::portIoctl(UMockdevIoctlClient* client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    PortFile& file = portFiles[client];
    const auto in = [&](std::size_t size) { return resolve(arg, 0, size); };
    const auto readInt = [&](int& value) {
        DataRef d = in(sizeof(int));
        if (!d.data)
            return false;
        value = *d.as<int>();
        return true;
    };
    const auto giveInt = [&](int value) {
        DataRef d = in(sizeof(int));
        if (!d.data) {
            complete(client, EFAULT);
            return;
        }
        *d.as<int>() = value;
        complete(client, 0);
    };
    const auto giveByte = [&](unsigned char value) {
        DataRef d = in(1);
        if (!d.data) {
            complete(client, EFAULT);
            return;
        }
        *d.as<unsigned char>() = value;
        complete(client, 0);
    };

    // What ppdev answers with or without the port.
    switch (request) {
    case PPCLAIM:
        if (file.claimed) {
            complete(client, EINVAL);
            return true;
        }
        if (owner != nullptr) {
            // Blocks, as parport_claim_or_block() does, until the other
            // file releases or closes.
            waiting.push_back(client);
            return true;
        }
        complete(client, take(client) ? 0 : EBUSY);
        return true;
    case PPEXCL:
        // Too late once the port was claimed: the device is registered.
        if (file.registered && !file.exclusive) {
            complete(client, EINVAL);
            return true;
        }
        file.exclusive = true;
        complete(client, 0);
        return true;
    case PPSETMODE: {
        int mode = 0;
        if (!readInt(mode)) {
            complete(client, EFAULT);
            return true;
        }
        file.mode = mode;
        file.phase = (mode & IEEE1284_MODE_BYTE) != 0 ? kPhaseReverseIdle : kPhaseForwardIdle;  // as ppdev sets it
        complete(client, 0);
        return true;
    }
    case PPGETMODE: giveInt(file.mode); return true;
    case PPSETPHASE: {
        int phase = 0;
        if (!readInt(phase)) {
            complete(client, EFAULT);
            return true;
        }
        file.phase = phase;
        complete(client, 0);
        return true;
    }
    case PPGETPHASE: giveInt(file.phase); return true;
    case PPGETMODES: giveInt(static_cast<int>(kPortModes)); return true;
    case PPSETFLAGS: {
        int flags = 0;
        if (!readInt(flags)) {
            complete(client, EFAULT);
            return true;
        }
        file.flags = flags & PP_FLAGMASK;
        complete(client, 0);
        return true;
    }
    case PPGETFLAGS: giveInt(file.flags); return true;
    default: break;
    }

    // Everything else needs the port claimed by this file.
    if (!file.claimed) {
        complete(client, EINVAL);
        return true;
    }
    switch (request) {
    case PPRSTATUS: giveByte(InByte(address(1))); return true;
    case PPRDATA: giveByte(InByte(address(0))); return true;
    case PPRCONTROL:
        // parport_pc answers from its copy, the four output lines only.
        giveByte(control & kControlLines);
        return true;
    case PPWDATA: {
        DataRef d = in(1);
        if (!d.data) {
            complete(client, EFAULT);
            return true;
        }
        OutByte(address(0), *d.as<unsigned char>());
        complete(client, 0);
        return true;
    }
    case PPWCONTROL: {
        DataRef d = in(1);
        if (!d.data) {
            complete(client, EFAULT);
            return true;
        }
        const unsigned char value = *d.as<unsigned char>();
        if (value & 0x20)
            reverse = true;  // the old way to turn the data lines round
        control = static_cast<unsigned char>((control & ~kControlLines) | (value & kControlLines));
        OutByte(address(2), static_cast<uint8_t>(control | (reverse ? 0x20 : 0)));
        complete(client, 0);
        return true;
    }
    case PPFCONTROL: {
        DataRef d = in(sizeof(ppdev_frob_struct));
        if (!d.data) {
            complete(client, EFAULT);
            return true;
        }
        const ppdev_frob_struct frob = *d.as<ppdev_frob_struct>();
        const unsigned char mask = frob.mask & kControlLines;
        control = static_cast<unsigned char>((control & ~mask) ^ (frob.val & mask));
        OutByte(address(2), static_cast<uint8_t>(control | (reverse ? 0x20 : 0)));
        complete(client, 0);
        return true;
    }
    case PPDATADIR: {
        int direction = 0;
        if (!readInt(direction)) {
            complete(client, EFAULT);
            return true;
        }
        reverse = direction != 0;
        OutByte(address(2), static_cast<uint8_t>(control | (reverse ? 0x20 : 0)));
        complete(client, 0);
        return true;
    }
    case PPNEGOT: {
        int mode = 0;
        if (!readInt(mode)) {
            complete(client, EFAULT);
            return true;
        }
        // Nothing on the evaluation board speaks IEEE 1284: only
        // compatibility mode needs no handshake.
        complete(client, mode == IEEE1284_MODE_COMPAT ? 0 : EIO);
        return true;
    }
    case PPYIELD: complete(client, 0); return true;
    case PPRELEASE:
        file.claimed = false;
        handOn();
        complete(client, 0);
        return true;
    case PPCLRIRQ: giveInt(0); return true;
    case PPWCTLONIRQ: complete(client, 0); return true;
    default: complete(client, ENOTTY); return true;
    }
}

void Devices::Node::portVanished(UMockdevIoctlClient* client)
{
    waiting.erase(std::remove(waiting.begin(), waiting.end(), client), waiting.end());
    const bool owned = owner == client;
    portFiles.erase(client);
    if (owned)
        handOn();
}

}  // namespace boardexec
