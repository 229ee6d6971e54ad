// User-mode requests and WMI requests to the running driver.
#include <cstring>

#include "control/records.h"
#include "driver_life.h"

namespace {

const GUID kSensorData = {0xA8C67453, 0x1AD8, 0x43AD, {0xBA, 0x86, 0xF9, 0x4F, 0x2E, 0xB7, 0x30, 0x6A}};
const GUID kSensorEvent = {0x88FC5431, 0xB608, 0x4AEA, {0x9D, 0x30, 0xD5, 0x93, 0x04, 0xC6, 0x85, 0xFE}};
const GUID kOtherGuid = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

class RequestsTest : public DriverLifeTest {
protected:
    void SetUp() override
    {
        DriverLifeTest::SetUp();
        BringUp();
        ASSERT_EQ(user_.Open(u"" QUAV_USER_PATH_TEXT, &handle_), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        if (handle_ != nullptr) {
            user_.Close(handle_);
        }
        DriverLifeTest::TearDown();
    }

    NTSTATUS Ioctl(ULONG code, const void* in, ULONG in_size, void* out, ULONG out_size, ULONG* returned)
    {
        return user_.DeviceIoControl(handle_, code, in, in_size, out, out_size, returned);
    }

    static SENSOR_RECORD Sensor(ULONG type, ULONG id)
    {
        SENSOR_RECORD r;
        std::memset(&r, 0x5A, sizeof r); // reserved fields and ThresholdSet as a caller may send them
        r.SensorType = type;
        r.SensorId = id;
        return r;
    }

    NTSTATUS Method(uint32_t method, uint32_t sensor, int32_t value)
    {
        const SENSOR_METHOD_INPUT in{sensor, value};
        std::vector<uint8_t> out;
        return machine_.wmi().ExecuteMethod(kSensorData, 0, method,
                                            {reinterpret_cast<const uint8_t*>(&in), sizeof in}, 0, &out);
    }

    std::vector<SENSOR_DATA_ENTRY> QueryBlock()
    {
        std::vector<uint8_t> data;
        EXPECT_EQ(machine_.wmi().QueryAllData(kSensorData, &data), STATUS_SUCCESS);
        std::vector<SENSOR_DATA_ENTRY> entries(data.size() / sizeof(SENSOR_DATA_ENTRY));
        std::memcpy(entries.data(), data.data(), entries.size() * sizeof(SENSOR_DATA_ENTRY));
        return entries;
    }

    sim::UserClient user_{true};
    HANDLE handle_ = nullptr;
};

TEST_F(RequestsTest, NoOperationsNeedNoBuffer)
{
    ULONG returned = 99;
    EXPECT_EQ(Ioctl(IOCTL_QUAV_NOP1, nullptr, 0, nullptr, 0, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(Ioctl(IOCTL_QUAV_NOP2, nullptr, 0, nullptr, 0, &returned), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(0x88002218, nullptr, 0, nullptr, 0, &returned), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(RequestsTest, SensorReadComesBackWithOnlyTheReadingChanged)
{
    board_.SetSensor("Rear Upper", 2000);
    SENSOR_RECORD in = Sensor(SENSOR_TYPE_FAN, SENSOR_ID_REAR_UPPER);
    SENSOR_RECORD out{};
    ULONG returned = 0;
    ASSERT_EQ(Ioctl(IOCTL_QUAV_READ_SENSOR, &in, sizeof in, &out, sizeof out, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 64u);
    SENSOR_RECORD expected = in;
    expected.Value = expected.CurrentValue = out.Value;
    EXPECT_EQ(std::memcmp(&out, &expected, sizeof out), 0);
    EXPECT_NEAR(out.Value, 2000, 10);

    in = Sensor(SENSOR_TYPE_FAN, SENSOR_ID_CPU);
    EXPECT_EQ(Ioctl(IOCTL_QUAV_READ_SENSOR, &in, sizeof in, &out, sizeof out, &returned),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(returned, 0u);
}

TEST_F(RequestsTest, FanPwmAndControls)
{
    struct {
        SENSOR_RECORD record;
        ULONG pwm;
    } pwm{Sensor(SENSOR_TYPE_FAN, SENSOR_ID_REAR_BOTTOM), 0x90};
    SENSOR_RECORD out{};
    ULONG returned = 0;
    ASSERT_EQ(Ioctl(IOCTL_QUAV_SET_FAN_PWM, &pwm, sizeof pwm, &out, sizeof out, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 64u);
    EXPECT_EQ(superio().Register(0x16), 0x90);
    pwm.record = Sensor(SENSOR_TYPE_TEMPERATURE, SENSOR_ID_SYSTEM); // succeeds, writes nothing
    pwm.pwm = 0x33;
    EXPECT_EQ(Ioctl(IOCTL_QUAV_SET_FAN_PWM, &pwm, sizeof pwm, &out, sizeof out, &returned), STATUS_SUCCESS);
    EXPECT_NE(superio().Register(0x15), 0x33);

    CONTROL_RECORD control{};
    control.ControlClass = 3;
    control.ControlIndex = 2;
    control.Reserved0[0] = 0xABCDEF01;
    CONTROL_RECORD back{};
    ASSERT_EQ(Ioctl(IOCTL_QUAV_READ_CONTROL, &control, sizeof control, &back, sizeof back, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 32u);
    EXPECT_EQ(std::memcmp(&control, &back, sizeof back), 0);

    struct {
        CONTROL_RECORD record;
        ULONG code;
    } set{control, 0x8100};
    set.record.ControlClass = 4;
    set.record.ControlIndex = 5;
    EXPECT_EQ(Ioctl(IOCTL_QUAV_SET_CONTROL, &set, sizeof set, &back, sizeof back, &returned),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(returned, 0u);
}

TEST_F(RequestsTest, ShortBuffersAreRefusedUntouched)
{
    SENSOR_RECORD in = Sensor(SENSOR_TYPE_VOLTAGE, SENSOR_ID_V5);
    unsigned char out[64];
    std::memset(out, 0xEE, sizeof out);
    ULONG returned = 7;
    EXPECT_EQ(Ioctl(IOCTL_QUAV_READ_SENSOR, &in, 63, out, 64, &returned), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(IOCTL_QUAV_READ_SENSOR, &in, 64, out, 63, &returned), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(IOCTL_QUAV_SET_FAN_PWM, &in, 64, out, 64, &returned),
              STATUS_BUFFER_TOO_SMALL); // no PWM word
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(out[0], 0xEE);
    CONTROL_RECORD control{};
    EXPECT_EQ(Ioctl(IOCTL_QUAV_SET_CONTROL, &control, 32, out, 32, &returned), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Ioctl(IOCTL_QUAV_READ_CONTROL, nullptr, 0, nullptr, 0, &returned),
              STATUS_INVALID_DEVICE_REQUEST);
}

// The I/O manager carries every transfer method to the driver; the driver defines buffered codes only and
// refuses any other code itself, a known function asked for with another method too, without touching
// the buffers (a direct request's MDL, a neither request's raw pointers).
TEST_F(RequestsTest, CodesTheDriverDoesNotDefineAreRefusedWhateverTheirMethod)
{
    constexpr ULONG kUnknown = 0x88002300; // the driver's device type, a function it does not define
    const struct {
        const char* what;
        ULONG code;
        NTSTATUS status;
        ULONG returned;
    } cases[] = {
        {"unknown, buffered", kUnknown | METHOD_BUFFERED, STATUS_INVALID_DEVICE_REQUEST, 0},
        {"unknown, in direct", kUnknown | METHOD_IN_DIRECT, STATUS_INVALID_DEVICE_REQUEST, 0},
        {"unknown, out direct", kUnknown | METHOD_OUT_DIRECT, STATUS_INVALID_DEVICE_REQUEST, 0},
        {"unknown, neither", kUnknown | METHOD_NEITHER, STATUS_INVALID_DEVICE_REQUEST, 0},
        {"sensor read, in direct", IOCTL_QUAV_READ_SENSOR | METHOD_IN_DIRECT, STATUS_INVALID_DEVICE_REQUEST,
         0},
        {"sensor read, out direct", IOCTL_QUAV_READ_SENSOR | METHOD_OUT_DIRECT, STATUS_INVALID_DEVICE_REQUEST,
         0},
        {"sensor read, neither", IOCTL_QUAV_READ_SENSOR | METHOD_NEITHER, STATUS_INVALID_DEVICE_REQUEST, 0},
        {"sensor read, buffered", IOCTL_QUAV_READ_SENSOR, STATUS_SUCCESS, sizeof(SENSOR_RECORD)},
    };
    for (const auto& c : cases) {
        SENSOR_RECORD in = Sensor(SENSOR_TYPE_TEMPERATURE, SENSOR_ID_VRM);
        SENSOR_RECORD out;
        std::memset(&out, 0xEE, sizeof out);
        ULONG returned = 7;
        EXPECT_EQ(Ioctl(c.code, &in, sizeof in, &out, sizeof out, &returned), c.status) << c.what;
        EXPECT_EQ(returned, c.returned) << c.what;
        EXPECT_EQ(out.SensorType, c.returned != 0 ? ULONG(SENSOR_TYPE_TEMPERATURE) : 0xEEEEEEEE) << c.what;
    }
}

TEST_F(RequestsTest, RefusedWhileRejectingButCloseStillCounts)
{
    EXPECT_EQ(Extension()->OpenHandleCount, 1);
    ASSERT_EQ(machine_.pnp().QueryStop(pdo_), STATUS_SUCCESS);
    HANDLE second = nullptr;
    EXPECT_EQ(user_.Open(u"" QUAV_USER_PATH_TEXT, &second), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(user_.Close(handle_), STATUS_SUCCESS);
    handle_ = nullptr;
    EXPECT_EQ(Extension()->OpenHandleCount, 0);
    ASSERT_EQ(machine_.pnp().CancelStop(pdo_), STATUS_SUCCESS);
    ULONG returned = 0;
    EXPECT_EQ(Ioctl(IOCTL_QUAV_NOP1, nullptr, 0, nullptr, 0, &returned), STATUS_INVALID_HANDLE); // closed
}

// Create, close and every refusal complete with no bytes, as a driver above would see them. A request that
// read RejectRequests clear just before a query-stop finds the remove lock closed after the stop.
TEST_F(RequestsTest, CreateCloseAndRefusalsCompleteWithNoBytes)
{
    const auto send = [this](UCHAR major, UCHAR minor = 0) {
        PIRP irp = machine_.io().AllocateIrp(Fdo()->StackSize);
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = major;
        stack->MinorFunction = minor;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_QUAV_NOP1;
        const NTSTATUS status = machine_.io().Send(Fdo(), irp);
        const std::optional<IO_STATUS_BLOCK> final = machine_.io().FinalStatus(irp); // none: abandoned
        machine_.io().FreeIrp(irp);
        return std::pair(status, final ? final->Information : ~ULONG_PTR(0));
    };
    using Done = std::pair<NTSTATUS, ULONG_PTR>;
    EXPECT_EQ(send(IRP_MJ_CREATE), Done(STATUS_SUCCESS, 0));
    EXPECT_EQ(send(IRP_MJ_CLOSE), Done(STATUS_SUCCESS, 0));
    ASSERT_EQ(machine_.pnp().QueryStop(pdo_), STATUS_SUCCESS);
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_SYSTEM_CONTROL}) {
        EXPECT_EQ(send(major, IRP_MN_QUERY_ALL_DATA), Done(STATUS_DEVICE_NOT_CONNECTED, 0)) << int(major);
    }
    ASSERT_EQ(machine_.pnp().Stop(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(send(IRP_MJ_SYSTEM_CONTROL, IRP_MN_REGINFO_EX), Done(STATUS_DELETE_PENDING, 0));
    Extension()->RejectRequests = 0;
    EXPECT_EQ(send(IRP_MJ_DEVICE_CONTROL), Done(STATUS_DELETE_PENDING, 0));
}

TEST_F(RequestsTest, WmiDataBlockAndItsSize)
{
    board_.SetSensor("AUX", 5000);
    std::vector<uint8_t> data;
    uint32_t needed = 0;
    EXPECT_EQ(machine_.wmi().QueryAllData(kSensorData, &data, 100, &needed), STATUS_BUFFER_TOO_SMALL);
    const uint32_t header = needed - 144; // the WNODE's own bytes ahead of the data block
    // 143 bytes of room for data: too small, 144 needed; 144 bytes: exactly 144 come back.
    EXPECT_EQ(machine_.wmi().QueryAllData(kSensorData, &data, header + 143, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, header + 144);
    ASSERT_EQ(machine_.wmi().QueryAllData(kSensorData, &data, header + 144), STATUS_SUCCESS);
    EXPECT_EQ(data.size(), 144u);
    const std::vector<SENSOR_DATA_ENTRY> entries = QueryBlock();
    ASSERT_EQ(entries.size(), 12u);            // exactly 144 bytes
    EXPECT_EQ(entries[10].CurrentValue, 4999); // storage order: AUX is the eleventh
    EXPECT_EQ(entries[11].CurrentValue, 44);   // VRM last
}

TEST_F(RequestsTest, WmiMethodsChangeOnlyTheReportedLimits)
{
    EXPECT_EQ(Method(1, 1, 0), STATUS_INVALID_PARAMETER_MIX);
    EXPECT_EQ(Method(2, 12, 0), STATUS_SUCCESS);
    EXPECT_EQ(Method(1, 12, 77), STATUS_SUCCESS);
    EXPECT_EQ(Method(1, 0, 5), STATUS_INVALID_PARAMETER_MIX);
    EXPECT_EQ(Method(2, 13, 5), STATUS_INVALID_PARAMETER_MIX);
    EXPECT_EQ(Method(3, 1, 5), STATUS_INVALID_PARAMETER_MIX);
    const std::vector<SENSOR_DATA_ENTRY> entries = QueryBlock();
    EXPECT_EQ(entries[11].CriticalLower, 0);
    EXPECT_EQ(entries[11].CriticalUpper, 77);
    // Evaluation keeps the configured limits.
    EXPECT_EQ(Extension()->Thresholds[5].CritUpper, 0);

    std::vector<uint8_t> out;
    const uint8_t short_input[4] = {1, 0, 0, 0};
    EXPECT_EQ(machine_.wmi().ExecuteMethod(kSensorData, 0, 2, short_input, 0, &out),
              STATUS_INVALID_PARAMETER_MIX);
}

TEST_F(RequestsTest, WmiFunctionControlAndOtherGuids)
{
    EXPECT_EQ(machine_.wmi().EnableEvents(kSensorEvent), STATUS_SUCCESS);
    EXPECT_EQ(machine_.wmi().DisableEvents(kSensorEvent), STATUS_SUCCESS);
    EXPECT_EQ(machine_.wmi().EnableCollection(kSensorData), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(machine_.wmi().EnableCollection(kSensorEvent), STATUS_INVALID_DEVICE_REQUEST);
    const uint8_t block[144] = {};
    EXPECT_EQ(machine_.wmi().SetSingleInstance(kSensorData, 0, block), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(machine_.wmi().SetSingleItem(kSensorData, 0, 1, {block, 4}), STATUS_INVALID_DEVICE_REQUEST);
    std::vector<uint8_t> out;
    EXPECT_EQ(machine_.wmi().ExecuteMethod(kSensorEvent, 0, 1, {block, 8}, 0, &out),
              STATUS_WMI_GUID_NOT_FOUND);
    std::vector<uint8_t> data;
    EXPECT_EQ(machine_.wmi().QueryAllData(kOtherGuid, &data), STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(machine_.wmi().QueryAllData(kSensorEvent, &data), STATUS_WMI_GUID_NOT_FOUND);
}

// What WMI meant for another provider, and minor codes it does not define, go down the stack untouched:
// the lower driver (here answering STATUS_NOT_IMPLEMENTED, which nobody above it uses) has the last word.
TEST_F(RequestsTest, WmiRequestsNotForTheDriverGoDownTheStack)
{
    struct Case {
        const char* name;
        UCHAR minor;
        PDEVICE_OBJECT provider;
    };
    const Case cases[] = {{"another provider's", IRP_MN_QUERY_ALL_DATA, pdo_},
                          {"unknown minor", 0x0A, Fdo()}};
    pdo_->DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) NTAPI {
        irp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NOT_IMPLEMENTED;
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> buffer(64);
        PIRP irp = machine_.io().AllocateIrp(Fdo()->StackSize);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        stack->MinorFunction = c.minor;
        stack->Parameters.WMI = {reinterpret_cast<ULONG_PTR>(c.provider), const_cast<GUID*>(&kSensorData),
                                 ULONG(buffer.size()), buffer.data()};
        EXPECT_EQ(machine_.io().Send(Fdo(), irp), STATUS_NOT_IMPLEMENTED) << c.name;
        machine_.io().FreeIrp(irp);
    }
}

TEST_F(RequestsTest, WmiRegistrationIsAnsweredBeforeTheStart)
{
    const std::optional<sim::WmiRegistration> reg = machine_.wmi().Registration(Fdo());
    ASSERT_TRUE(reg.has_value());
    ASSERT_EQ(reg->guids.size(), 2u);
    const GUID* guids[] = {&kSensorData, &kSensorEvent};
    for (size_t i = 0; i < 2; i++) { // instances named after the PDO; the event GUID is event-only
        EXPECT_EQ(std::memcmp(&reg->guids[i].guid, guids[i], sizeof(GUID)), 0) << i;
        EXPECT_EQ(reg->guids[i].flags, WMIREG_FLAG_INSTANCE_PDO | (i == 1 ? WMIREG_FLAG_EVENT_ONLY_GUID : 0))
            << i;
        EXPECT_EQ(reg->guids[i].instance_count, 1u) << i;
        EXPECT_EQ(reg->guids[i].pdo, pdo_) << i;
    }
    EXPECT_EQ(reg->mof_resource, u""); // the image carries no MOF resource: quav.mof is compiled at install
    EXPECT_EQ(reg->registry_path, kServicePath);
}

} // namespace
