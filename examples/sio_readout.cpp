// Boots the emulated board, initializes the driver's hardware layers and prints one reading of each
// sensor through the command sets, with its unit: eleven from the Super I/O, the CPU temperature from the
// SMBus sensor.
#include <cstdio>

#include "board/board.h"
#include "hardware/chipset.h"
#include "hardware/siocommand.h"
#include "sim/sim.h"

namespace {

struct Reading {
    const char* label;
    ULONG group;
    ULONG item;
    const char* unit;
};

const Reading kReadings[] = {
    {"Rear Upper fan", SIO_GET_FAN_SPEED, SIO_ITEM_FAN1, "RPM"},
    {"Rear Bottom fan", SIO_GET_FAN_SPEED, SIO_ITEM_FAN2, "RPM"},
    {"System temperature", SIO_GET_TEMPERATURE, SIO_ITEM_TEMP_SYSTEM, "degrees C"},
    {"Backplane temperature", SIO_GET_TEMPERATURE, SIO_ITEM_TEMP_BACKPLANE, "degrees C"},
    {"VRM temperature", SIO_GET_TEMPERATURE, SIO_ITEM_TEMP_VRM, "degrees C"},
    {"VCCP", SIO_GET_VOLTAGE, SIO_ITEM_VCCP, "mV"},
    {"1.8V", SIO_GET_VOLTAGE, SIO_ITEM_V18, "mV"},
    {"3.3V", SIO_GET_VOLTAGE, SIO_ITEM_V33, "mV"},
    {"5V", SIO_GET_VOLTAGE, SIO_ITEM_V5, "mV"},
    {"12V", SIO_GET_VOLTAGE, SIO_ITEM_V12, "mV"},
    {"AUX", SIO_GET_VOLTAGE, SIO_ITEM_AUX, "mV"},
};

} // namespace

int main()
{
    sim::Machine machine;
    board::Board board(machine.bus());
    sim::AttachedThread thread("readout");

    std::printf("QUAV sensor readout (emulated board, virtual time)\n\n");
    const NTSTATUS status = SioInitialize();
    if (!NT_SUCCESS(status)) {
        std::printf("Super I/O not initialized: status 0x%08X\n", static_cast<unsigned>(status));
        return 1;
    }
    std::printf("Super I/O at 0x%02X: environment controller at 0x%04X/0x%04X, GPIO at 0x%04X\n",
                g_SioState.ConfigIndexPort, g_SioState.EcAddressPort, g_SioState.EcDataPort,
                g_SioState.GpioBasePort);
    std::printf("fan divisors %u and %u, 16-bit fan counters 0x%02X\n", g_SioState.FanDivisor1,
                g_SioState.FanDivisor2, g_SioState.FanCountExtension);
    NTSTATUS chipset = ChipsetInitialize();
    if (NT_SUCCESS(chipset)) {
        chipset = SmbusSensorInitialize();
    }
    if (NT_SUCCESS(chipset)) {
        std::printf("South bridge: SMBus host at 0x%04X, GPIO port at 0x%04X\n\n",
                    g_ChipsetState.SmbusBasePort, g_ChipsetState.ChipsetGpioPort);
    } else {
        std::printf("South bridge or SMBus sensor not initialized: status 0x%08X\n\n",
                    static_cast<unsigned>(chipset));
    }

    int failures = 0;
    for (const Reading& r : kReadings) {
        ULONG value = 0;
        const NTSTATUS s = SioCommand(r.group, r.item, &value);
        if (NT_SUCCESS(s)) {
            std::printf("  %-22s %6u %s\n", r.label, value, r.unit);
        } else {
            std::printf("  %-22s failed: status 0x%08X\n", r.label, static_cast<unsigned>(s));
            failures++;
        }
    }
    if (NT_SUCCESS(chipset)) {
        ULONG cpu = 0;
        const NTSTATUS s = SmbusSensorCommand(SMB_GET_CPU_TEMPERATURE, SMB_ITEM_CPU, &cpu);
        if (NT_SUCCESS(s)) {
            std::printf("  %-22s %6d %s\n", "CPU temperature", static_cast<LONG>(cpu), "degrees C");
        } else {
            std::printf("  %-22s failed: status 0x%08X\n", "CPU temperature", static_cast<unsigned>(s));
            failures++;
        }
    }
    std::printf("\n%llu port accesses, %s of virtual time\n",
                static_cast<unsigned long long>(machine.bus().Accesses()),
                sim::FormatTicks(sim::Now()).c_str());
    return failures == 0 ? 0 : 1;
}
