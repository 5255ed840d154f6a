#include "config/config_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <random>

#include "config_test_util.h"

using namespace qora;
using namespace qora::test;

namespace {

// A configuration described independently of the records, so that the expected file can be
// laid out from the tabled offsets without the code under test.
struct DeviceDesc {
    std::u16string name;
    uint8_t type;
    uint8_t address;
    uint32_t mask;
    uint8_t replied;
    uint8_t unanswered;
};
struct PointDesc {
    std::u16string name;
    std::string port;
    float period;
    bool active;
    uint8_t currentDevice;
    std::vector<uint8_t> rx;  // receive buffer contents (rest zero)
    uint8_t expectedLength;
    std::vector<DeviceDesc> devices;
};

float ValueOf(int p, int d, int k) {
    return static_cast<float>(p * 1000 + d * 10) + static_cast<float>(k) / 8.0f;
}
uint16_t QualityOf(int d, int k) {
    return (d + k) % 3 == 0 ? 192 : ((d + k) % 3 == 1 ? 24 : 8);
}
int32_t ItemOf(int p, int d, int k) {
    return -(p * 100000 + d * 100 + k);
}
double StampOf(int p, int d, int k) {
    return 46000.25 + p + d / 1000.0 + k / 1.0e6;
}

std::vector<PointDesc> SampleConfiguration() {
    std::vector<PointDesc> pts;
    pts.push_back({u"Адаптер_1",
                   "ttyUSB0",
                   4.2f,
                   true,
                   1,
                   {0xB5, 0x01, 0x03},
                   11,
                   {{u"Котёл №1", 0, 1, 0x5u, 1, 0}, {u"Насос", 3, 254, 0xFFFFFFFFu, 0, 7}}});
    pts.push_back({u"Линия 2 (резерв)", "ttyS1", 0.7f, false, 0, {}, 0, {}});
    PointDesc full{std::u16string(50, u'Ж'),        "ttyACM0", 1.5f, true, 127,
                   std::vector<uint8_t>(200, 0x5A), 255,       {}};
    for (int d = 0; d < kMaxDevicesPerPoint; ++d)
        full.devices.push_back({u"Прибор " + std::u16string(1, static_cast<char16_t>(u'А' + d % 32)),
                                static_cast<uint8_t>(d % 64), static_cast<uint8_t>(d + 1),
                                static_cast<uint32_t>(1u << (d % 32)), static_cast<uint8_t>(d & 1),
                                static_cast<uint8_t>(d)});
    pts.push_back(full);
    return pts;
}

void FillModel(TConfigModel& m, const std::vector<PointDesc>& pts) {
    for (size_t p = 0; p < pts.size(); ++p) {
        const PointDesc& pd = pts[p];
        ASSERT_EQ(AppendPoint(m, pd.name, pd.port, pd.period, pd.active), ModelResult::Ok);
        TConnectionPoint& cp = m.points[p];
        for (size_t d = 0; d < pd.devices.size(); ++d) {
            const DeviceDesc& dd = pd.devices[d];
            ASSERT_EQ(AppendDevice(m, static_cast<int>(p), dd.name, dd.type, dd.address, dd.mask),
                      ModelResult::Ok);
            TDevice& dev = cp.devices[d];
            for (int k = 0; k < kParamsPerDevice; ++k) {
                dev.values[k] = ValueOf(static_cast<int>(p), static_cast<int>(d), k);
                dev.qualities[k] = QualityOf(static_cast<int>(d), k);
                dev.itemNumbers[k] = ItemOf(static_cast<int>(p), static_cast<int>(d), k);
                dev.timestamps[k] = StampOf(static_cast<int>(p), static_cast<int>(d), k);
            }
            dev.replied = dd.replied;
            dev.unanswered = dd.unanswered;
        }
        cp.currentDevice = pd.currentDevice;
        std::copy(pd.rx.begin(), pd.rx.end(), cp.rxBuffer);
        cp.expectedLength = pd.expectedLength;
        cp.receivedCount = static_cast<uint8_t>(pd.rx.size());
    }
}

// Little-endian writers into a byte vector at an absolute offset.
struct Bytes {
    std::vector<uint8_t> b;
    void u8(size_t off, uint8_t v) { b.at(off) = v; }
    void u16(size_t off, uint16_t v) {
        u8(off, static_cast<uint8_t>(v));
        u8(off + 1, static_cast<uint8_t>(v >> 8));
    }
    void u32(size_t off, uint32_t v) {
        for (int i = 0; i < 4; ++i) u8(off + i, static_cast<uint8_t>(v >> (8 * i)));
    }
    void f32(size_t off, float f) {
        uint32_t v;
        std::memcpy(&v, &f, 4);
        u32(off, v);
    }
    void f64(size_t off, double f) {
        uint64_t v;
        std::memcpy(&v, &f, 8);
        u32(off, static_cast<uint32_t>(v));
        u32(off + 4, static_cast<uint32_t>(v >> 32));
    }
    void name(size_t off, const std::u16string& s) {
        for (size_t i = 0; i < s.size(); ++i) u16(off + 2 * i, s[i]);
    }
};

// The file as the format table lays it out.
std::vector<uint8_t> ExpectedFile(const std::vector<PointDesc>& pts) {
    const size_t n = pts.size();
    Bytes f;
    f.b.assign(18 + n * 90528, 0);
    const char sig[] = "QORA_OPC";
    for (int i = 0; i < 8; ++i) f.u8(i, static_cast<uint8_t>(sig[i]));
    f.u8(8, 0);
    f.u8(9, 0x01);
    f.u8(10, 0x01);
    f.u32(13, static_cast<uint32_t>(5 + n * 90528));
    f.u8(17, static_cast<uint8_t>(n));
    for (size_t p = 0; p < n; ++p) {
        const PointDesc& pd = pts[p];
        const size_t base = 18 + p * 90528;
        f.u8(base + 0, static_cast<uint8_t>(p));
        f.name(base + 2, pd.name);
        for (size_t i = 0; i < pd.port.size(); ++i) f.u8(base + 105 + i, static_cast<uint8_t>(pd.port[i]));
        f.u8(base + 125, 9);
        f.u8(base + 126, 3);
        f.u8(base + 127, 0);
        f.u8(base + 128, 2);
        for (size_t d = 0; d < pd.devices.size(); ++d) {
            const DeviceDesc& dd = pd.devices[d];
            const size_t r = base + 136 + d * 704;
            f.u8(r + 0, static_cast<uint8_t>(d));
            f.u32(r + 4, static_cast<uint32_t>(p));
            f.name(r + 8, dd.name);
            f.u8(r + 110, dd.type);
            f.u8(r + 111, dd.address);
            f.u32(r + 112, dd.mask);
            for (int k = 0; k < 32; ++k) {
                f.f32(r + 116 + 4 * k, ValueOf(static_cast<int>(p), static_cast<int>(d), k));
                f.u16(r + 244 + 2 * k, QualityOf(static_cast<int>(d), k));
                f.u32(r + 308 + 4 * k,
                      static_cast<uint32_t>(ItemOf(static_cast<int>(p), static_cast<int>(d), k)));
                f.f64(r + 440 + 8 * k, StampOf(static_cast<int>(p), static_cast<int>(d), k));
            }
            f.u8(r + 696, dd.replied);
            f.u8(r + 697, dd.unanswered);
        }
        f.u8(base + 90248, static_cast<uint8_t>(pd.devices.size()));
        f.f32(base + 90252, pd.period);
        f.u8(base + 90256, pd.currentDevice);
        f.u8(base + 90257, pd.active ? 1 : 0);
        for (size_t i = 0; i < pd.rx.size(); ++i) f.u8(base + 90258 + i, pd.rx[i]);
        f.u8(base + 90514, pd.expectedLength);
        f.u8(base + 90515, static_cast<uint8_t>(pd.rx.size()));
    }
    const uint16_t crc = BitwiseCrc(f.b.data() + 13, (5 + n * 90528) % 65536);
    f.u8(11, static_cast<uint8_t>(crc >> 8));
    f.u8(12, static_cast<uint8_t>(crc & 0xFF));
    return f.b;
}

std::vector<uint8_t> EmptyFile() {
    return {'Q', 'O', 'R', 'A', '_', 'O', 'P', 'C', 0, 0x01, 0x01, 0x00, 0xE8, 0x05, 0x00, 0x00, 0x00, 0x00};
}

std::vector<PointDesc> OnePoint() {
    return {{u"Адаптер_1", "ttyUSB0", 4.2f, true, 0, {}, 0, {{u"Устройство", 0, 1, 0x5u, 0, 0}}}};
}

std::vector<uint8_t> OnePointFile() {
    return ExpectedFile(OnePoint());
}

}  // namespace

TEST(ConfigCrc, CheckValueOfTheNineDigitsIs4B37) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc16Modbus(digits, 9), 0x4B37);
    std::mt19937 rng(7);
    std::vector<uint8_t> data(5000);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    EXPECT_EQ(Crc16Modbus(data.data(), data.size()), BitwiseCrc(data.data(), data.size()));
}

TEST(ConfigFile, EighteenByteFileLoadsAsEmptyConfiguration) {
    auto m = NewModel();
    EXPECT_EQ(DecodeConfig(EmptyFile(), *m), DecodeStatus::Ok);
    EXPECT_TRUE(PointsEmpty(*m));
    // And it is what the encoder makes of an empty model.
    auto empty = NewModel();
    EXPECT_EQ(EncodeConfig(*empty), EmptyFile());
}

TEST(ConfigFile, OnePointFileHasTabledSizesAndCrcCoversOnlyItsStart) {
    auto m = NewModel();
    FillModel(*m, OnePoint());
    const std::vector<uint8_t> f = EncodeConfig(*m);
    ASSERT_EQ(f.size(), 90546u);
    EXPECT_EQ(f[13] | (f[14] << 8) | (f[15] << 16) | (f[16] << 24), 90533);
    EXPECT_EQ(90533 % 65536, 24997);
    EXPECT_EQ((f[11] << 8) | f[12], BitwiseCrc(f.data() + 13, 24997));
    EXPECT_EQ(f, OnePointFile());

    // Bytes of the point image after its first 24992 are outside the CRC.
    for (size_t imageOffset : {size_t{24992}, size_t{50000}, size_t{90252}, size_t{90300}, size_t{90527}}) {
        std::vector<uint8_t> changed = f;
        changed[18 + imageOffset] ^= 0x40;
        auto out = NewModel();
        EXPECT_EQ(DecodeConfig(changed, *out), DecodeStatus::Ok) << imageOffset;
        EXPECT_EQ(out->pointCount, 1);
    }
    std::vector<uint8_t> covered = f;
    covered[18 + 24991] ^= 0x01;
    auto out = NewModel();
    EXPECT_EQ(DecodeConfig(covered, *out), DecodeStatus::BadCrc);
    EXPECT_TRUE(PointsEmpty(*out));
}

TEST(ConfigFile, VersionOtherThan0101IsAccepted) {
    std::vector<uint8_t> f = OnePointFile();
    f[9] = 0x02;
    f[10] = 0x07;
    auto m = NewModel();
    EXPECT_EQ(DecodeConfig(f, *m), DecodeStatus::Ok);
    EXPECT_EQ(m->pointCount, 1);
}

TEST(ConfigFile, GoldenRoundTripMatchesTabledLayoutByteForByte) {
    const auto desc = SampleConfiguration();
    auto m = NewModel();
    FillModel(*m, desc);
    const std::vector<uint8_t> expected = ExpectedFile(desc);
    ASSERT_EQ(expected.size(), 18u + 3u * 90528u);
    const std::vector<uint8_t> encoded = EncodeConfig(*m);
    ASSERT_EQ(encoded.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(encoded[i], expected[i]) << "first difference at offset " << i;

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("golden.cfg"));
    const TConfigWriteResult w = WriteConfigFile(path, *m);
    ASSERT_TRUE(w.ok) << w.error.toStdString();
    EXPECT_EQ(ReadAll(path), expected);

    auto back = NewModel();
    const TConfigReadResult r = ReadConfigFile(path, *back);
    ASSERT_TRUE(r.ok()) << r.message.toStdString();
    EXPECT_TRUE(SamePoints(*m, *back));
    EXPECT_TRUE(CheckInvariants(*back, false));
    EXPECT_EQ(back->points[0].receivedCount, 3);
    EXPECT_EQ(back->points[2].currentDevice, 127);
    EXPECT_EQ(back->points[0].devices[1].unanswered, 7);
}

TEST(ConfigFile, ReferenceFieldsAreWrittenAsZeroAndIgnoredOnReading) {
    auto m = NewModel();
    ASSERT_EQ(AppendPoint(*m, u"A", "ttyS0", 1.0f, true), ModelResult::Ok);
    m->points[0].serialPort = reinterpret_cast<ISerialLine*>(uintptr_t{0x12345678});
    std::vector<uint8_t> f = EncodeConfig(*m);
    m->points[0].serialPort = nullptr;
    for (size_t off = 90516; off < 90528; ++off) EXPECT_EQ(f[18 + off], 0) << off;
    for (size_t off = 90516; off < 90524; ++off) f[18 + off] = 0xEE;
    auto back = NewModel();
    ASSERT_EQ(DecodeConfig(f, *back), DecodeStatus::Ok);
    EXPECT_EQ(back->points[0].serialPort, nullptr);
    EXPECT_EQ(back->points[0].pollTimer, nullptr);
}

namespace {

struct HostileCase {
    const char* what;
    std::vector<uint8_t> file;
    DecodeStatus expected;
};

std::vector<HostileCase> HostileFiles() {
    std::vector<HostileCase> cases;
    const std::vector<uint8_t> good = OnePointFile();
    cases.push_back({"empty file", {}, DecodeStatus::BadSignature});
    cases.push_back({"signature without its zero byte",
                     {'Q', 'O', 'R', 'A', '_', 'O', 'P', 'C'},
                     DecodeStatus::BadSignature});
    cases.push_back({"no zero byte anywhere", std::vector<uint8_t>(1000, 'A'), DecodeStatus::BadSignature});
    {
        std::vector<uint8_t> f = good;
        f[7] = 'X';
        cases.push_back({"wrong signature", f, DecodeStatus::BadSignature});
    }
    {
        std::vector<uint8_t> f = good;
        f[7] = 0;
        cases.push_back({"signature ended early", f, DecodeStatus::BadSignature});
    }
    {
        std::vector<uint8_t> f = good;
        f[8] = 'X';
        cases.push_back({"signature running on", f, DecodeStatus::BadSignature});
    }
    {
        std::vector<uint8_t> f = EmptyFile();
        f.pop_back();
        cases.push_back({"header cut at 17 bytes", f, DecodeStatus::Truncated});
    }
    cases.push_back({"one point cut inside the CRC range",
                     std::vector<uint8_t>(good.begin(), good.begin() + 1000), DecodeStatus::Truncated});
    cases.push_back({"one point cut after the CRC range", std::vector<uint8_t>(good.begin(), good.end() - 1),
                     DecodeStatus::Truncated});
    {
        std::vector<uint8_t> f = EmptyFile();
        f[13] = 0xFF;
        f[14] = 0xFF;  // CRC length 65535, file far shorter
        cases.push_back({"block size beyond the file", f, DecodeStatus::Truncated});
    }
    {
        std::vector<uint8_t> f = good;
        f[12] ^= 0x01;
        cases.push_back({"stored CRC wrong", f, DecodeStatus::BadCrc});
    }
    {
        // 51 points announced, with a right CRC and all the bytes that many images need.
        std::vector<uint8_t> f(18 + 51 * 90528, 0);
        std::memcpy(f.data(), "QORA_OPC", 9);
        f[9] = f[10] = 1;
        const uint32_t bs = 5 + 51 * 90528;
        for (int i = 0; i < 4; ++i) f[13 + i] = static_cast<uint8_t>(bs >> (8 * i));
        f[17] = 51;
        FixCrc(f);
        cases.push_back({"more than 50 points", f, DecodeStatus::TooManyPoints});
    }
    {
        std::vector<uint8_t> f = EmptyFile();
        f[17] = 2;
        FixCrc(f);
        cases.push_back({"two points announced, none present", f, DecodeStatus::Truncated});
    }
    {
        std::vector<uint8_t> f = good;
        f[18 + 90248] = 129;  // outside the CRC
        cases.push_back({"device count 129", f, DecodeStatus::BadRecords});
    }
    {
        std::vector<uint8_t> f = good;
        f[18 + 90256] = 200;
        cases.push_back({"current device beyond the table", f, DecodeStatus::BadRecords});
    }
    {
        std::vector<uint8_t> f = good;
        f[18 + 136 + 110] = 64;
        FixCrc(f);
        cases.push_back({"type index beyond the type table", f, DecodeStatus::BadRecords});
    }
    {
        std::vector<uint8_t> f = good;
        f[18 + 136 + 4] = 7;
        FixCrc(f);
        cases.push_back({"device naming another point", f, DecodeStatus::BadRecords});
    }
    {
        std::vector<uint8_t> f = good;
        f[18 + 136 + 111] = 0;
        FixCrc(f);
        cases.push_back({"device address 0", f, DecodeStatus::BadRecords});
    }
    {
        std::vector<uint8_t> f = good;
        f[18] = 3;
        FixCrc(f);
        cases.push_back({"point index not its slot", f, DecodeStatus::BadRecords});
    }
    {
        std::vector<uint8_t> f = good;
        for (int i = 0; i < 51; ++i) f[18 + 2 + 2 * i] = 'x';
        FixCrc(f);
        cases.push_back({"point name without terminator", f, DecodeStatus::BadRecords});
    }
    {
        std::vector<uint8_t> f = good;
        for (int i = 0; i < 20; ++i) f[18 + 105 + i] = 'p';
        FixCrc(f);
        cases.push_back({"port name without terminator", f, DecodeStatus::BadRecords});
    }
    return cases;
}

}  // namespace

TEST(ConfigFile, HostileFilesAreRefusedAndLeaveTheModelEmpty) {
    QTemporaryDir dir;
    for (const HostileCase& c : HostileFiles()) {
        SCOPED_TRACE(c.what);
        // Exact-size buffers: reading one byte past the end is caught under AddressSanitizer.
        std::vector<uint8_t> exact(c.file.begin(), c.file.end());
        exact.shrink_to_fit();
        auto m = NewModel();
        FillModel(*m, SampleConfiguration());
        EXPECT_EQ(DecodeConfig(exact, *m), c.expected);
        EXPECT_TRUE(PointsEmpty(*m));

        const QString path = dir.filePath(QStringLiteral("hostile.cfg"));
        ASSERT_TRUE(WriteAll(path, c.file));
        auto m2 = NewModel();
        FillModel(*m2, SampleConfiguration());
        const TConfigReadResult r = ReadConfigFile(path, *m2);
        EXPECT_EQ(r.status, TConfigReadResult::Status::Refused);
        EXPECT_EQ(r.message, QString::fromUtf16(kMsgNotConfigFile));
        EXPECT_TRUE(PointsEmpty(*m2));
    }
}

TEST(ConfigFile, CatalogueIsNotTouchedByReading) {
    auto m = NewModel();
    m->typeCount = 5;
    m->typeMasks[4] = 0xABCDu;
    m->paramNames[3][0] = u'T';
    ASSERT_EQ(DecodeConfig(OnePointFile(), *m), DecodeStatus::Ok);
    EXPECT_EQ(m->typeCount, 5);
    EXPECT_EQ(m->typeMasks[4], 0xABCDu);
    EXPECT_EQ(m->paramNames[3][0], u'T');
}

TEST(ConfigFile, UnreadableFileReportsThePlatformError) {
    QTemporaryDir dir;
    auto m = NewModel();
    TConfigReadResult r = ReadConfigFile(dir.path(), *m);
    EXPECT_EQ(r.status, TConfigReadResult::Status::OpenFailed);
    EXPECT_TRUE(r.message.contains(QStringLiteral("Не удалось открыть файл"))) << r.message.toStdString();
    EXPECT_TRUE(r.message.contains(QStringLiteral("Это каталог"))) << r.message.toStdString();

    r = ReadConfigFile(dir.filePath(QStringLiteral("missing.cfg")), *m);
    EXPECT_EQ(r.status, TConfigReadResult::Status::OpenFailed);
    EXPECT_TRUE(r.message.contains(QStringLiteral("Нет такого файла или каталога")))
        << r.message.toStdString();
}

TEST(ConfigFile, WriteIntoMissingDirectoryFailsWithThePlatformError) {
    QTemporaryDir dir;
    auto m = NewModel();
    ASSERT_EQ(AppendPoint(*m, u"A", "ttyS0", 1.0f, true), ModelResult::Ok);
    const QString path = dir.filePath(QStringLiteral("no/such/dir/x.cfg"));
    const TConfigWriteResult w = WriteConfigFile(path, *m);
    EXPECT_FALSE(w.ok);
    EXPECT_TRUE(w.error.contains(QStringLiteral("Не удалось создать файл \"") + path))
        << w.error.toStdString();
    EXPECT_TRUE(w.error.contains(QStringLiteral("Нет такого файла или каталога"))) << w.error.toStdString();
}

TEST(ConfigFile, SaveReplacesTheFileAndLeavesNoTemporaryBehind) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("plant.cfg"));
    auto m = NewModel();
    FillModel(*m, SampleConfiguration());
    ASSERT_TRUE(WriteConfigFile(path, *m).ok);
    ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    auto small = NewModel();
    ASSERT_EQ(AppendPoint(*small, u"B", "ttyS9", 2.0f, false), ModelResult::Ok);
    ASSERT_TRUE(WriteConfigFile(path, *small).ok);
    EXPECT_EQ(ReadAll(path).size(), 18u + 90528u);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
              QStringList{QStringLiteral("plant.cfg")});
}

namespace {

// Runs a save of model over path in a child process whose file size limit is far below the new
// file's size. With killBySignal the kernel's SIGXFSZ ends the child in the middle of the write
// (as a crash would); otherwise the signal is ignored and the write fails with EFBIG. The child
// exits 0 when WriteConfigFile reported the failure.
int SaveInLimitedChild(const QString& path, const TConfigModel& model, bool killBySignal) {
    const pid_t pid = fork();
    if (pid == 0) {
        struct rlimit noCore {
            0, 0
        };
        setrlimit(RLIMIT_CORE, &noCore);
        struct rlimit lim {
            100000, 100000
        };
        setrlimit(RLIMIT_FSIZE, &lim);
        if (!killBySignal) std::signal(SIGXFSZ, SIG_IGN);
        const TConfigWriteResult w = WriteConfigFile(path, model);
        _exit(!w.ok && w.error.contains(QStringLiteral("Файл слишком велик")) ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

}  // namespace

TEST(ConfigFile, KilledOrFailingSaveLeavesThePreviousFileLoadable) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("plant.cfg"));
    auto old = NewModel();
    ASSERT_EQ(AppendPoint(*old, u"Старая", "ttyS0", 3.0f, true), ModelResult::Ok);
    ASSERT_EQ(AppendDevice(*old, 0, u"Д", 0, 5, 1u), ModelResult::Ok);
    ASSERT_TRUE(WriteConfigFile(path, *old).ok);
    const std::vector<uint8_t> oldBytes = ReadAll(path);

    auto bigger = NewModel();
    FillModel(*bigger, SampleConfiguration());  // 271602 bytes, beyond the child's limit

    const int killed = SaveInLimitedChild(path, *bigger, true);
    ASSERT_TRUE(WIFSIGNALED(killed));
    EXPECT_EQ(WTERMSIG(killed), SIGXFSZ);
    EXPECT_EQ(ReadAll(path), oldBytes);
    auto back = NewModel();
    ASSERT_TRUE(ReadConfigFile(path, *back).ok());
    EXPECT_TRUE(SamePoints(*old, *back));

    // Clear away what the killed child left, then let the write fail with an error instead.
    for (const QString& name : QDir(dir.path()).entryList(QDir::Files | QDir::Hidden))
        if (name != QStringLiteral("plant.cfg")) QFile::remove(dir.filePath(name));
    const int failed = SaveInLimitedChild(path, *bigger, false);
    ASSERT_TRUE(WIFEXITED(failed));
    EXPECT_EQ(WEXITSTATUS(failed), 0) << "the failure was not reported as the platform's error";
    EXPECT_EQ(ReadAll(path), oldBytes);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("plant.cfg")});
    ASSERT_TRUE(ReadConfigFile(path, *back).ok());
    EXPECT_TRUE(SamePoints(*old, *back));
}

namespace {

template <typename T>
bool Zero(const T& rec) {
    const auto* b = reinterpret_cast<const unsigned char*>(&rec);
    for (size_t i = 0; i < sizeof(T); ++i)
        if (b[i] != 0) return false;
    return true;
}

// What every loaded model must satisfy for the rest of the program to index its tables safely.
::testing::AssertionResult WithinLimits(const TConfigModel& m) {
    if (m.pointCount > kMaxPoints)
        return ::testing::AssertionFailure() << "point count " << int(m.pointCount);
    for (int s = 0; s < kMaxPoints; ++s) {
        const TConnectionPoint& p = m.points[s];
        if (s >= m.pointCount) {
            if (!Zero(p)) return ::testing::AssertionFailure() << "unused point " << s << " not zero";
            continue;
        }
        if (p.index != s || p.deviceCount > kMaxDevicesPerPoint || p.currentDevice >= kMaxDevicesPerPoint)
            return ::testing::AssertionFailure() << "point " << s;
        if (NameView(p.name, kNameUnits).size() >= size_t(kNameUnits) ||
            PortNameView(p.portName).size() >= size_t(kPortNameBytes))
            return ::testing::AssertionFailure() << "point " << s << " name";
        if (p.serialPort != nullptr || p.pollTimer != nullptr)
            return ::testing::AssertionFailure() << "references";
        for (int d = 0; d < kMaxDevicesPerPoint; ++d) {
            const TDevice& dev = p.devices[d];
            if (d >= p.deviceCount) {
                if (!Zero(dev)) return ::testing::AssertionFailure() << "unused device " << d << " not zero";
                continue;
            }
            if (dev.index != d || dev.pointIndex != s || dev.typeIndex >= kMaxDeviceTypes ||
                dev.address < 1 || dev.address > 254 ||
                NameView(dev.name, kNameUnits).size() >= size_t(kNameUnits))
                return ::testing::AssertionFailure() << "device " << s << "/" << d;
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST(ConfigFileRandomised, TruncatedFlippedAndRandomFilesAreRefusedOrLoadWithinLimits) {
    auto base = NewModel();
    {
        auto desc = SampleConfiguration();
        desc.resize(2);
        FillModel(*base, desc);
    }
    const std::vector<uint8_t> good = EncodeConfig(*base);
    // Longer runs: QORA_FUZZ_ITERATIONS=200000 QORA_FUZZ_SEED=<n> under the sanitizer build.
    const char* seedText = std::getenv("QORA_FUZZ_SEED");
    const char* iterText = std::getenv("QORA_FUZZ_ITERATIONS");
    const unsigned seed =
        seedText != nullptr ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10)) : 20261208u;
    const int iterations = iterText != nullptr ? std::atoi(iterText) : 1500;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    int accepted = 0, refused = 0;
    auto m = NewModel();
    for (int iter = 0; iter < iterations; ++iter) {
        std::vector<uint8_t> f;
        switch (iter % 5) {
            case 0:  // truncated anywhere
                f.assign(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(pick(good.size() + 1)));
                break;
            case 1: {  // bit flips anywhere
                f = good;
                for (size_t k = 1 + pick(8); k > 0; --k)
                    f[pick(f.size())] ^= static_cast<uint8_t>(1u << pick(8));
                break;
            }
            case 2: {  // flips in the header and the records, CRC made right again
                f = good;
                for (size_t k = 1 + pick(6); k > 0; --k) {
                    const size_t pos = pick(3) == 0 ? 13 + pick(5) : 18 + pick(f.size() - 18);
                    f[pos] = static_cast<uint8_t>(rng());
                }
                FixCrc(f);
                break;
            }
            case 3: {  // random bytes behind a right signature
                f.resize(pick(400));
                for (auto& b : f) b = static_cast<uint8_t>(rng());
                if (f.size() >= 9) std::memcpy(f.data(), "QORA_OPC", 9);
                if (f.size() >= 18 && pick(2) == 0) {
                    f[17] = static_cast<uint8_t>(pick(3));
                    FixCrc(f);
                }
                break;
            }
            default: {  // right header, arbitrary point count and block size, CRC right
                f = good;
                f.resize(pick(2) ? f.size() : pick(f.size() + 1));
                if (f.size() >= 18) {
                    f[17] = static_cast<uint8_t>(rng());
                    for (int i = 13; i < 17; ++i)
                        if (pick(2)) f[i] = static_cast<uint8_t>(rng());
                    FixCrc(f);
                }
                break;
            }
        }
        f.shrink_to_fit();
        const DecodeStatus st = DecodeConfig(f, *m);
        if (st == DecodeStatus::Ok) {
            ++accepted;
            ASSERT_TRUE(WithinLimits(*m)) << "iteration " << iter;
        } else {
            ++refused;
            ASSERT_TRUE(PointsEmpty(*m)) << "iteration " << iter;
        }
    }
    // Both outcomes must have been exercised for the test to mean something.
    EXPECT_GT(accepted, 50);
    EXPECT_GT(refused, 50);
}
