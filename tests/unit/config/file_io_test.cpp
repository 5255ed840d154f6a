#include "config/file_io.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <cerrno>
#include <clocale>
#include <csignal>

#include "config_test_util.h"

using namespace qora;
using namespace qora::test;

namespace {

QStringList AllEntries(const QString& dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                               QDir::Name);
}

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 13));
    return v;
}

// Starts a save of data over path in a child process, waits until the child has written its
// first chunk to the temporary file and kills it there with SIGKILL. unnamed: whether the child
// may use an unnamed temporary file. Returns the child's pid (it has been reaped).
pid_t KillSaveMidWrite(const QString& path, const std::vector<uint8_t>& data, bool unnamed) {
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        struct rlimit noCore {
            0, 0
        };
        ::setrlimit(RLIMIT_CORE, &noCore);
        SetUnnamedTempFilesForTesting(unnamed);
        SetWriteProgressHookForTesting([&](size_t) {
            const char c = 'w';
            (void)::write(ready[1], &c, 1);
            for (;;) ::pause();
        });
        WriteFileAtomically(path, data.data(), data.size());
        ::_exit(3);  // the hook never returns
    }
    ::close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    char c = 0;
    const bool midWrite = ::poll(&p, 1, 10000) == 1 && ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return midWrite && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL ? pid : -1;
}

class FileIo : public ::testing::Test {
  protected:
    void TearDown() override {
        SetUnnamedTempFilesForTesting(true);
        SetWriteProgressHookForTesting({});
    }
    QString Path(const char* name) const { return dir.filePath(QString::fromUtf8(name)); }
    QTemporaryDir dir;
};

}  // namespace

TEST_F(FileIo, SaveKilledWhileWritingAnUnnamedTemporaryLeavesNothing) {
    const QString path = Path("plant.cfg");
    const std::vector<uint8_t> before = Pattern(90546, 1);
    ASSERT_TRUE(WriteAll(path, before));
    const std::vector<uint8_t> big = Pattern(8u << 20, 2);  // eight chunks: killed after the first

    ASSERT_GT(KillSaveMidWrite(path, big, true), 0);
    EXPECT_EQ(AllEntries(dir.path()), QStringList{QStringLiteral("plant.cfg")});
    EXPECT_EQ(ReadAll(path), before);

    const std::vector<uint8_t> after = Pattern(271602, 3);
    ASSERT_TRUE(WriteFileAtomically(path, after.data(), after.size()));
    EXPECT_EQ(AllEntries(dir.path()), QStringList{QStringLiteral("plant.cfg")});
    EXPECT_EQ(ReadAll(path), after);
}

TEST_F(FileIo, NamedTemporaryOfAKilledSaveIsRemovedByTheNextSave) {
    const QString path = Path("plant.cfg");
    const std::vector<uint8_t> before = Pattern(90546, 4);
    ASSERT_TRUE(WriteAll(path, before));
    const std::vector<uint8_t> big = Pattern(8u << 20, 5);

    // As on a file system without unnamed files: the killed child leaves its named temporary.
    const pid_t child = KillSaveMidWrite(path, big, false);
    ASSERT_GT(child, 0);
    const QStringList left = AllEntries(dir.path());
    ASSERT_EQ(left.size(), 2);
    EXPECT_TRUE(left[0].startsWith(QStringLiteral(".plant.cfg.tmp-%1-").arg(child))) << left[0].toStdString();
    EXPECT_EQ(left[1], QStringLiteral("plant.cfg"));
    EXPECT_EQ(ReadAll(path), before);

    // Temporaries of running processes (pid 1 runs always) and other files are left alone.
    const QString running = QStringLiteral(".plant.cfg.tmp-1-0");
    const QString other = QStringLiteral(".other.cfg.tmp-%1-0").arg(child);
    ASSERT_TRUE(WriteText(dir.filePath(running), "in use"));
    ASSERT_TRUE(WriteText(dir.filePath(other), "not ours"));

    SetUnnamedTempFilesForTesting(false);
    const std::vector<uint8_t> after = Pattern(1000, 6);
    ASSERT_TRUE(WriteFileAtomically(path, after.data(), after.size()));
    EXPECT_EQ(AllEntries(dir.path()), (QStringList{other, running, QStringLiteral("plant.cfg")}));
    EXPECT_EQ(ReadAll(path), after);
}

TEST_F(FileIo, KeepExistingWritesOnlyANewName) {
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed temporary" : "named temporary");
        SetUnnamedTempFilesForTesting(unnamed);
        const QString path = Path(unnamed ? "a.cfg" : "b.cfg");
        const std::vector<uint8_t> first = Pattern(5000, 7);
        int errorNumber = 0;
        QString error;
        ASSERT_TRUE(WriteFileAtomically(path, first.data(), first.size(), &error, ReplaceMode::KeepExisting,
                                        &errorNumber));
        const std::vector<uint8_t> second = Pattern(6000, 8);
        EXPECT_FALSE(WriteFileAtomically(path, second.data(), second.size(), &error,
                                         ReplaceMode::KeepExisting, &errorNumber));
        EXPECT_EQ(errorNumber, EEXIST);
        EXPECT_EQ(error, QStringLiteral("Не удалось создать файл \"") + path +
                             QStringLiteral("\". Файл существует"));
        EXPECT_EQ(ReadAll(path), first);
        // Replace still replaces.
        ASSERT_TRUE(WriteFileAtomically(path, second.data(), second.size()));
        EXPECT_EQ(ReadAll(path), second);
    }
    EXPECT_EQ(AllEntries(dir.path()), (QStringList{QStringLiteral("a.cfg"), QStringLiteral("b.cfg")}));
}

TEST_F(FileIo, ReplacingAndCreatingWorkWithBothKindsOfTemporary) {
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed temporary" : "named temporary");
        SetUnnamedTempFilesForTesting(unnamed);
        const QString path = Path("c.cfg");
        QFile::remove(path);
        const std::vector<uint8_t> first = Pattern(3000, 9);
        ASSERT_TRUE(WriteFileAtomically(path, first.data(), first.size()));
        ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        const std::vector<uint8_t> second = Pattern(100, 10);
        ASSERT_TRUE(WriteFileAtomically(path, second.data(), second.size()));
        EXPECT_EQ(ReadAll(path), second);
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0604u);
        EXPECT_EQ(AllEntries(dir.path()), QStringList{QStringLiteral("c.cfg")});
    }
}

TEST(FileErrors, OperatorTextsAreRussianWhateverTheLocale) {
    std::setlocale(LC_ALL, "C");
    const struct {
        int error;
        const char* text;
    } cases[] = {
        {ENOENT, "Нет такого файла или каталога"},
        {EACCES, "Отказано в доступе"},
        {EROFS, "Файловая система доступна только для чтения"},
        {ENOSPC, "На устройстве не осталось свободного места"},
        {EDQUOT, "Превышена дисковая квота"},
        {EISDIR, "Это каталог"},
        {ENOTDIR, "Это не каталог"},
        {EIO, "Ошибка ввода/вывода"},
        {EEXIST, "Файл существует"},
        {ENAMETOOLONG, "Слишком длинное имя файла"},
        {ELOOP, "Слишком много уровней символьных ссылок"},
        {EPERM, "Операция не позволена"},
        {EADDRINUSE, "Адрес уже используется"},
    };
    for (const auto& c : cases) EXPECT_EQ(ErrnoText(c.error).toStdString(), c.text) << c.error;
    EXPECT_EQ(OpenFileError(QStringLiteral("/a/b.cfg"), ENOENT),
              QStringLiteral("Не удалось открыть файл \"/a/b.cfg\". Нет такого файла или каталога"));
    EXPECT_EQ(
        CreateFileError(QStringLiteral("/a/b.cfg"), ENOSPC),
        QStringLiteral("Не удалось создать файл \"/a/b.cfg\". На устройстве не осталось свободного места"));
}

TEST_F(FileIo, PathThroughARegularFileFailsWithNotADirectory) {
    ASSERT_TRUE(WriteText(Path("plain"), "x"));
    const QString path = Path("plain/x.cfg");
    QString error;
    int errorNumber = 0;
    EXPECT_FALSE(WriteFileAtomically(path, "y", 1, &error, ReplaceMode::Replace, &errorNumber));
    EXPECT_EQ(errorNumber, ENOTDIR);
    EXPECT_EQ(error,
              QStringLiteral("Не удалось создать файл \"") + path + QStringLiteral("\". Это не каталог"));
}
