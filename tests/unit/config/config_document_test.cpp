#include "config/config_document.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <deque>

#include "config/config_file.h"
#include "config_test_util.h"
#include "read_only_dir.h"

using namespace qora;
using namespace qora::test;

namespace {

// Records every call in one log so that the order of the steps can be checked.
class ScriptedPrompt : public IOperatorPrompt {
  public:
    explicit ScriptedPrompt(std::vector<std::string>& log) : log_(log) {}
    std::deque<bool> answers;                      // AskYesNo
    std::deque<std::optional<QString>> openPicks;  // ChooseFileToOpen
    std::deque<std::optional<QString>> savePicks;  // ChooseFileToSave

    bool AskYesNo(const QString& title, const QString& text) override {
        log_.push_back("Ask:" + title.toStdString() + "|" + text.toStdString());
        EXPECT_FALSE(answers.empty()) << "unexpected question";
        if (answers.empty()) return false;
        bool a = answers.front();
        answers.pop_front();
        return a;
    }
    void ShowMessage(const QString& title, const QString& text) override {
        log_.push_back("Message:" + title.toStdString() + "|" + text.toStdString());
    }
    void ShowError(const QString& text) override { log_.push_back("Error:" + text.toStdString()); }
    std::optional<QString> ChooseFileToOpen(const QString& title, const QString& directory) override {
        log_.push_back("Open:" + title.toStdString() + "|" + directory.toStdString());
        EXPECT_FALSE(openPicks.empty()) << "unexpected Open dialog";
        if (openPicks.empty()) return std::nullopt;
        auto p = openPicks.front();
        openPicks.pop_front();
        return p;
    }
    std::optional<QString> ChooseFileToSave(const QString& title, const QString& directory) override {
        log_.push_back("Save:" + title.toStdString() + "|" + directory.toStdString());
        EXPECT_FALSE(savePicks.empty()) << "unexpected Save dialog";
        if (savePicks.empty()) return std::nullopt;
        auto p = savePicks.front();
        savePicks.pop_front();
        return p;
    }

  private:
    std::vector<std::string>& log_;
};

class RecordingHost : public IDocumentView, public IDocumentHost {
  public:
    explicit RecordingHost(std::vector<std::string>& log) : log_(log) {}
    void StopPolling() override { log_.push_back("StopPolling"); }
    void StartPolling() override { log_.push_back("StartPolling"); }
    void RebuildTree(int point, int device) override {
        log_.push_back("RebuildTree(" + std::to_string(point) + "," + std::to_string(device) + ")");
    }
    void ClearList() override { log_.push_back("ClearList"); }
    void UpdateCaption() override { log_.push_back("UpdateCaption"); }
    void EnableRestart() override { log_.push_back("EnableRestart"); }
    bool RecordStartupConfiguration(const QString& path, QString* error) override {
        log_.push_back("MAIN_CFG:" + path.toStdString());
        if (settingsError.isEmpty()) return true;
        *error = settingsError;
        return false;
    }
    QString settingsError;  // when set, every MAIN_CFG write fails with it

  private:
    std::vector<std::string>& log_;
};

const std::string kQuestion = "Ask:Предупреждение|Текущая конфигурация не сохранена.\nСохранить?";
const std::string kRefusal =
    "Message:Предупреждение|Файл не является файлом конфигурации QORA OPC Server или поврежден.";

class DocumentTest : public ::testing::Test {
  protected:
    DocumentTest() : model(NewModel()), prompt(log), host(log), doc(*model, prompt, host, host) {}

    QString Path(const char* name) const { return dir.filePath(QString::fromUtf8(name)); }
    std::string Dir() const { return (dir.path() + u'/').toStdString(); }

    // A file with one point and one device, written apart from the document.
    QString MakeConfigFile(const char* name, const char16_t* pointName = u"Линия") {
        auto m = NewModel();
        EXPECT_EQ(AppendPoint(*m, pointName, "ttyS0", 1.0f, true), ModelResult::Ok);
        EXPECT_EQ(AppendDevice(*m, 0, u"Прибор", 0, 3, 1u), ModelResult::Ok);
        const QString path = Path(name);
        EXPECT_TRUE(WriteConfigFile(path, *m).ok);
        return path;
    }
    void AddPoint() {
        ASSERT_EQ(AppendPoint(*model, u"Новый", "ttyUSB" + std::to_string(model->pointCount), 2.0f, true),
                  ModelResult::Ok);
        doc.SetUnsaved();
    }
    // Brings the document into the state after a start-up with path loaded, the log cleared.
    void LoadAndClearLog(const QString& path) {
        ASSERT_EQ(doc.LoadConfiguration(path), TConfigDocument::LoadOutcome::Loaded);
        log.clear();
    }
    void ExpectState(const char* name, const std::string& directory, bool unsaved, bool untitled) {
        EXPECT_EQ(doc.ConfigName().toStdString(), name);
        EXPECT_EQ(doc.ConfigDirectory().toStdString(), directory);
        EXPECT_EQ(doc.Unsaved(), unsaved);
        EXPECT_EQ(doc.Untitled(), untitled);
    }
    int PointsIn(const QString& path) {
        auto m = NewModel();
        auto r = ReadConfigFile(path, *m);
        return r.ok() ? m->pointCount : -1;
    }

    QTemporaryDir dir;
    std::vector<std::string> log;
    ModelPtr model;
    ScriptedPrompt prompt;
    RecordingHost host;
    TConfigDocument doc;
};

using Log = std::vector<std::string>;

}  // namespace

TEST(ConfigDocumentNames, NameDropsDirectoryAndLastFourCharacters) {
    struct {
        const char* path;
        const char* name;
        const char* dir;
    } cases[] = {
        {"/srv/cfg/plant.dat", "plant", "/srv/cfg/"},
        {"/srv/cfg/plant.cfg", "plant", "/srv/cfg/"},
        {"plant.cfg", "plant", ""},
        {"/a/abc", "", "/a/"},
        {"/a/.cfg", "", "/a/"},
        {"/a/x.cfg", "x", "/a/"},
        {"/a/Котёл.cfg", "Котёл", "/a/"},
        {"/a.b/noext", "n", "/a.b/"},
    };
    for (const auto& c : cases) {
        const QString p = QString::fromUtf8(c.path);
        EXPECT_EQ(TConfigDocument::NameFromPath(p).toStdString(), c.name) << c.path;
        EXPECT_EQ(TConfigDocument::DirectoryFromPath(p).toStdString(), c.dir) << c.path;
    }
}

TEST_F(DocumentTest, FileNewOnACleanDocumentStopsPollingAndNamesItNew) {
    doc.FileNew();
    EXPECT_EQ(log, (Log{"StopPolling", "RebuildTree(-1,-1)", "UpdateCaption"}));
    ExpectState("Новая", "", false, true);
}

TEST_F(DocumentTest, FileNewKeepsDirectoryAndSettingsAndAsksWhenUnsaved) {
    LoadAndClearLog(MakeConfigFile("plant.cfg"));
    AddPoint();
    prompt.answers = {false};
    doc.FileNew();
    EXPECT_EQ(log, (Log{"StopPolling", kQuestion, "RebuildTree(-1,-1)", "UpdateCaption"}));
    ExpectState("Новая", Dir(), false, true);
    EXPECT_TRUE(PointsEmpty(*model));
    EXPECT_EQ(PointsIn(Path("plant.cfg")), 1) << "declining must not save";
}

TEST_F(DocumentTest, FileNewWithYesSavesUnderTheOwnPathFirst) {
    LoadAndClearLog(MakeConfigFile("plant.cfg"));
    AddPoint();
    prompt.answers = {true};
    doc.FileNew();
    const std::string path = Path("plant.cfg").toStdString();
    EXPECT_EQ(log, (Log{"StopPolling", kQuestion, "UpdateCaption", "MAIN_CFG:" + path, "RebuildTree(-1,-1)",
                        "UpdateCaption"}));
    EXPECT_EQ(PointsIn(Path("plant.cfg")), 2);
    ExpectState("Новая", Dir(), false, true);
}

TEST_F(DocumentTest, SaveQuestionIsAskedOnlyWhenUnsavedAndPointsExist) {
    EXPECT_EQ(doc.SaveQuestion(), TConfigDocument::SaveQuestionOutcome::NotAsked);  // neither
    doc.SetUnsaved();
    EXPECT_EQ(doc.SaveQuestion(), TConfigDocument::SaveQuestionOutcome::NotAsked);  // no points
    LoadAndClearLog(MakeConfigFile("plant.cfg"));
    EXPECT_EQ(doc.SaveQuestion(), TConfigDocument::SaveQuestionOutcome::NotAsked);  // points, saved
    EXPECT_TRUE(log.empty());
    doc.SetUnsaved();
    prompt.answers = {false};
    EXPECT_EQ(doc.SaveQuestion(), TConfigDocument::SaveQuestionOutcome::Declined);
    EXPECT_EQ(log, Log{kQuestion});
    EXPECT_TRUE(doc.Unsaved());
}

TEST_F(DocumentTest, OpenLoadsThePickedFileInTheReaderOrder) {
    const QString path = MakeConfigFile("plant.cfg");
    prompt.openPicks = {path};
    doc.FileOpen();
    const std::string p = path.toStdString();
    EXPECT_EQ(log, (Log{"Open:Открыть файл конфигурации|", "StopPolling", "UpdateCaption", "ClearList",
                        "RebuildTree(-1,-1)", "MAIN_CFG:" + p, "StartPolling", "EnableRestart"}));
    ExpectState("plant", Dir(), false, false);
    EXPECT_EQ(model->pointCount, 1);
}

TEST_F(DocumentTest, CancelledOpenChangesNothing) {
    LoadAndClearLog(MakeConfigFile("plant.cfg"));
    AddPoint();
    prompt.answers = {false};
    prompt.openPicks = {std::nullopt};
    doc.FileOpen();
    EXPECT_EQ(log, (Log{kQuestion, "Open:Открыть файл конфигурации|" + Dir()}));
    ExpectState("plant", Dir(), true, false);
    EXPECT_EQ(model->pointCount, 2);
}

TEST_F(DocumentTest, RefusedFileIsReportedAndStillRecordedAndPolled) {
    LoadAndClearLog(MakeConfigFile("plant.cfg"));
    QDir(dir.path()).mkdir(QStringLiteral("other"));
    const QString bad = dir.filePath(QStringLiteral("other/broken.cfg"));
    ASSERT_TRUE(WriteText(bad, QByteArrayLiteral("not a configuration")));
    prompt.openPicks = {bad};
    doc.FileOpen();
    const std::string b = bad.toStdString();
    EXPECT_EQ(log,
              (Log{"Open:Открыть файл конфигурации|" + Dir(), "StopPolling", kRefusal, "UpdateCaption",
                   "ClearList", "RebuildTree(-1,-1)", "MAIN_CFG:" + b, "StartPolling", "EnableRestart"}));
    // Untitled "Новая" in the refused file's directory.
    ExpectState("Новая", Dir() + "other/", false, true);
    EXPECT_TRUE(PointsEmpty(*model));
}

TEST_F(DocumentTest, FileThatCannotBeOpenedLeavesFlagsSettingsAndPollingAlone) {
    LoadAndClearLog(MakeConfigFile("plant.cfg"));
    AddPoint();
    const QString missing = Path("gone.cfg");
    prompt.answers = {false};
    prompt.openPicks = {missing};
    doc.FileOpen();
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(log[6], "UpdateCaption");
    EXPECT_EQ(log[2], "StopPolling");
    EXPECT_EQ(log[3], "ClearList");
    EXPECT_EQ(log[4], "RebuildTree(-1,-1)");
    EXPECT_EQ(log[5].rfind("Error:Не удалось открыть файл \"" + missing.toStdString() +
                               "\". Нет такого файла или каталога",
                           0),
              0u)
        << log[5];
    // No file holds the empty model any more: the caption names none and the next save asks.
    ExpectState("Новая", Dir(), false, true);
    EXPECT_TRUE(PointsEmpty(*model));
}

TEST_F(DocumentTest, SaveActionsDoNothingWithoutPoints) {
    doc.FileNew();
    log.clear();
    doc.FileSave();
    doc.FileSaveAs();
    doc.SetUnsaved();
    doc.FileSave();
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 0);
}

TEST_F(DocumentTest, SaveOfUntitledConfigurationWritesThePickedFile) {
    doc.FileNew();
    AddPoint();
    log.clear();
    const QString picked = Path("site.cfg");
    prompt.savePicks = {picked};
    doc.FileSave();
    EXPECT_EQ(
        log, (Log{"Save:Сохранить файл конфигурации|", "UpdateCaption", "MAIN_CFG:" + picked.toStdString()}));
    ExpectState("site", Dir(), false, false);
    EXPECT_EQ(PointsIn(picked), 1);
}

TEST_F(DocumentTest, CancelledSaveDialogOfUntitledUnsavedConfigurationWritesNew) {
    // The directory is the one of the last file loaded.
    LoadAndClearLog(MakeConfigFile("plant.cfg"));
    doc.FileNew();
    AddPoint();
    log.clear();
    prompt.savePicks = {std::nullopt};
    doc.FileSave();
    const QString written = Path("Новая.cfg");
    EXPECT_EQ(log, (Log{"Save:Сохранить файл конфигурации|" + Dir(), "UpdateCaption",
                        "MAIN_CFG:" + written.toStdString()}));
    EXPECT_EQ(PointsIn(written), 1);
    ExpectState("Новая", Dir(), false, false);
}

TEST_F(DocumentTest, YesToTheQuestionOfAnUntitledConfigurationThenCancelStillWritesNew) {
    doc.FileNew();
    AddPoint();
    prompt.answers = {true};
    prompt.savePicks = {std::nullopt};
    // The current directory stands for an empty configuration directory: run inside dir.
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    doc.FileNew();
    QDir::setCurrent(cwd);
    EXPECT_EQ(PointsIn(Path("Новая.cfg")), 1);
    ExpectState("Новая", "", false, true);
}

TEST_F(DocumentTest, ChangedConfigurationLoadedFromDatIsSavedAsCfgBesideIt) {
    const QString dat = MakeConfigFile("plant.dat");
    const std::vector<uint8_t> datBytes = ReadAll(dat);
    LoadAndClearLog(dat);
    ExpectState("plant", Dir(), false, false);
    AddPoint();
    doc.FileSave();
    const QString cfg = Path("plant.cfg");
    EXPECT_EQ(log, (Log{"UpdateCaption", "MAIN_CFG:" + cfg.toStdString()}));
    EXPECT_EQ(PointsIn(cfg), 2);
    EXPECT_EQ(ReadAll(dat), datBytes);
}

TEST_F(DocumentTest, SaveOfSavedConfigurationWritesNothing) {
    LoadAndClearLog(MakeConfigFile("plant.cfg"));
    doc.FileSave();
    EXPECT_TRUE(log.empty());
}

TEST_F(DocumentTest, SaveAsWritesPickedFileOrNothingWhenCancelled) {
    LoadAndClearLog(MakeConfigFile("plant.cfg"));
    AddPoint();
    prompt.savePicks = {std::nullopt};
    doc.FileSaveAs();
    EXPECT_EQ(log, (Log{"Save:Сохранить файл конфигурации как...|" + Dir()}));
    ExpectState("plant", Dir(), true, false);
    EXPECT_EQ(PointsIn(Path("plant.cfg")), 1);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1);

    log.clear();
    QDir(dir.path()).mkdir(QStringLiteral("copy"));
    const QString picked = dir.filePath(QStringLiteral("copy/second.cfg"));
    prompt.savePicks = {picked};
    doc.FileSaveAs();
    EXPECT_EQ(log, (Log{"Save:Сохранить файл конфигурации как...|" + Dir(), "UpdateCaption",
                        "MAIN_CFG:" + picked.toStdString()}));
    ExpectState("second", Dir() + "copy/", false, false);
    EXPECT_EQ(PointsIn(picked), 2);
}

TEST_F(DocumentTest, FailedSaveReportsOnceAndKeepsFlagsAndSettings) {
    doc.FileNew();
    AddPoint();
    log.clear();
    const QString picked = dir.filePath(QStringLiteral("missing-dir/site.cfg"));
    prompt.savePicks = {picked};
    doc.FileSave();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].rfind("Error:Не удалось создать файл \"" + picked.toStdString() +
                               "\". Нет такого файла или каталога",
                           0),
              0u)
        << log[1];
    // Nothing changes: name, directory and flags still describe the configuration as it was.
    ExpectState("Новая", "", true, true);
}

TEST_F(DocumentTest, StartUpWithoutPathOrWithMissingFileRunsNewSilently) {
    EXPECT_EQ(doc.OpenAtStartUp(QString()), TConfigDocument::LoadOutcome::Created);
    EXPECT_EQ(doc.OpenAtStartUp(Path("deleted.cfg")), TConfigDocument::LoadOutcome::Created);
    for (const std::string& line : log) EXPECT_EQ(line.find("MAIN_CFG"), std::string::npos) << line;
    ExpectState("Новая", "", false, true);
}

TEST_F(DocumentTest, StartUpWithRefusedFileLeavesAnUntitledConfiguration) {
    const QString bad = Path("station.cfg");
    ASSERT_TRUE(WriteText(bad, QByteArrayLiteral("QORA_OPC")));
    EXPECT_EQ(doc.OpenAtStartUp(bad), TConfigDocument::LoadOutcome::Refused);
    // The refused file is not what the window shows, and a later save must not replace it.
    ExpectState("Новая", Dir(), false, true);
    EXPECT_NE(std::find(log.begin(), log.end(), kRefusal), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "MAIN_CFG:" + bad.toStdString()), log.end());
}

namespace {

// The ways the folder of a loaded configuration stops taking files, each made for real.
enum class Breakage { Removed, ReadOnly, ReplacedByFile, Full };

struct BrokenFolderCase {
    Breakage breakage;
    const char* reason;  // the Russian system reason the error box ends with
};

const BrokenFolderCase kBrokenFolders[] = {
    {Breakage::Removed, "Нет такого файла или каталога"},
    {Breakage::ReadOnly, "Отказано в доступе"},
    {Breakage::ReplacedByFile, "Это не каталог"},
    {Breakage::Full, "На устройстве не осталось свободного места"},
};

// A file system of its own, too small for the edited configuration, mounted over a folder and
// holding a copy of what the folder held; unmounted (and the folder back as it was) at the end.
// Mounting needs the right to; without it Mounted() is false.
class TSmallFileSystem {
  public:
    explicit TSmallFileSystem(const QString& folder) : folder_(QFile::encodeName(folder).toStdString()) {
        std::vector<std::pair<std::string, QByteArray>> files;
        for (const QString& name : QDir(folder).entryList(QDir::Files)) {
            QFile f(folder + u'/' + name);
            if (f.open(QIODevice::ReadOnly))
                files.emplace_back(QFile::encodeName(name).toStdString(), f.readAll());
        }
        if (::mount("tmpfs", folder_.c_str(), "tmpfs", 0, "size=128k") != 0) return;
        mounted_ = true;
        ready_ = true;
        for (const auto& [name, bytes] : files) {
            QFile f(QFile::decodeName(QByteArray::fromStdString(folder_ + "/" + name)));
            if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) ready_ = false;
        }
    }
    ~TSmallFileSystem() {
        if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
    }
    TSmallFileSystem(const TSmallFileSystem&) = delete;
    TSmallFileSystem& operator=(const TSmallFileSystem&) = delete;
    bool Mounted() const { return ready_; }

  private:
    std::string folder_;
    bool mounted_ = false;
    bool ready_ = false;
};

class BrokenFolderTest : public DocumentTest, public ::testing::WithParamInterface<BrokenFolderCase> {
  protected:
    // Loads site/plant.cfg, adds a point (two now, unsaved) and breaks the folder.
    void LoadEditAndBreak() {
        ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("site")));
        LoadAndClearLog(MakeConfigFile("site/plant.cfg"));
        AddPoint();
        plantBytes = ReadAll(Path("site/plant.cfg"));
        switch (GetParam().breakage) {
            case Breakage::Removed:
                ASSERT_TRUE(QDir(Path("site")).removeRecursively());
                break;
            case Breakage::ReadOnly:
                readOnly = std::make_unique<TReadOnlyDirectory>(Path("site"));
                ASSERT_TRUE(readOnly->Ok());
                break;
            case Breakage::ReplacedByFile:
                ASSERT_TRUE(QDir(Path("site")).removeRecursively());
                ASSERT_TRUE(WriteText(Path("site"), QByteArrayLiteral("a file where the folder was")));
                break;
            case Breakage::Full:
                full = std::make_unique<TSmallFileSystem>(Path("site"));
                if (!full->Mounted()) GTEST_SKIP() << "no right to mount a small file system here";
                break;
        }
        log.clear();
    }
    std::string SiteDir() const { return Dir() + "site/"; }
    std::string SaveError() const {
        return "Error:Не удалось создать файл \"" + SiteDir() + "plant.cfg\". " + GetParam().reason;
    }
    // The document, the model and the file are as they were before the action.
    void ExpectNothingChanged() {
        ExpectState("plant", SiteDir(), true, false);
        EXPECT_EQ(model->pointCount, 2);
        readOnly.reset();
        if (GetParam().breakage == Breakage::ReadOnly || GetParam().breakage == Breakage::Full) {
            EXPECT_EQ(ReadAll(Path("site/plant.cfg")), plantBytes);
        }
        if (full) {
            // Nothing half written is left behind on the full file system.
            EXPECT_EQ(QDir(Path("site")).entryList(QDir::Files | QDir::Hidden | QDir::System),
                      QStringList{QStringLiteral("plant.cfg")});
        }
        full.reset();
    }

    std::vector<uint8_t> plantBytes;
    std::unique_ptr<TReadOnlyDirectory> readOnly;
    std::unique_ptr<TSmallFileSystem> full;
};

}  // namespace

TEST_P(BrokenFolderTest, FailedSaveStopsCreate) {
    LoadEditAndBreak();
    prompt.answers = {true};
    doc.FileNew();
    // Polling was stopped for the action and runs again; the tree and the caption are untouched.
    EXPECT_EQ(log, (Log{"StopPolling", kQuestion, SaveError(), "StartPolling"}));
    ExpectNothingChanged();
}

TEST_P(BrokenFolderTest, FailedSaveStopsOpenBeforeItsDialog) {
    LoadEditAndBreak();
    prompt.answers = {true};
    doc.FileOpen();
    EXPECT_EQ(log, (Log{kQuestion, SaveError()}));
    ExpectNothingChanged();
}

TEST_P(BrokenFolderTest, SaveQuestionTellsTheCallerThatTheSaveFailed) {
    LoadEditAndBreak();
    prompt.answers = {true};
    EXPECT_EQ(doc.SaveQuestion(), TConfigDocument::SaveQuestionOutcome::SaveFailed);
    EXPECT_EQ(log, (Log{kQuestion, SaveError()}));
    ExpectNothingChanged();
}

TEST_P(BrokenFolderTest, FailedSaveAsChangesNeitherNameNorDirectory) {
    LoadEditAndBreak();
    const QString picked = Path("site/copy.cfg");
    prompt.savePicks = {picked};
    doc.FileSaveAs();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "Error:Не удалось создать файл \"" + picked.toStdString() + "\". " + GetParam().reason);
    ExpectNothingChanged();
}

INSTANTIATE_TEST_SUITE_P(Folders, BrokenFolderTest, ::testing::ValuesIn(kBrokenFolders),
                         [](const ::testing::TestParamInfo<BrokenFolderCase>& param) {
                             switch (param.param.breakage) {
                                 case Breakage::Removed:
                                     return std::string("Removed");
                                 case Breakage::ReadOnly:
                                     return std::string("ReadOnly");
                                 case Breakage::ReplacedByFile:
                                     return std::string("ReplacedByFile");
                                 case Breakage::Full:
                                     return std::string("Full");
                             }
                             return std::string();
                         });

TEST_F(DocumentTest, UntitledConfigurationWhoseFallbackSaveFailsStopsTheAction) {
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("site")));
    LoadAndClearLog(MakeConfigFile("site/plant.cfg"));
    doc.FileNew();
    AddPoint();
    ASSERT_TRUE(QDir(Path("site")).removeRecursively());
    log.clear();
    prompt.answers = {true};
    prompt.savePicks = {std::nullopt};
    doc.FileOpen();
    const std::string fallback = Dir() + "site/Новая.cfg";
    EXPECT_EQ(log,
              (Log{kQuestion, "Save:Сохранить файл конфигурации|" + Dir() + "site/",
                   "Error:Не удалось создать файл \"" + fallback + "\". Нет такого файла или каталога"}));
    ExpectState("Новая", Dir() + "site/", true, true);
    EXPECT_EQ(model->pointCount, 1);
}

TEST_F(DocumentTest, SaveAfterARefusedOpenAsksWhereAndNeverReplacesThePreviousFile) {
    const QString plant = MakeConfigFile("plant.cfg");
    const std::vector<uint8_t> plantBytes = ReadAll(plant);
    LoadAndClearLog(plant);
    const QString bad = Path("broken.cfg");
    ASSERT_TRUE(WriteText(bad, QByteArrayLiteral("not a configuration")));
    prompt.openPicks = {bad};
    doc.FileOpen();
    ExpectState("Новая", Dir(), false, true);

    AddPoint();
    log.clear();
    prompt.savePicks = {std::nullopt};
    doc.FileSave();
    const QString fallback = Path("Новая.cfg");
    EXPECT_EQ(log, (Log{"Save:Сохранить файл конфигурации|" + Dir(), "UpdateCaption",
                        "MAIN_CFG:" + fallback.toStdString()}));
    EXPECT_EQ(ReadAll(plant), plantBytes);
    EXPECT_EQ(ReadText(bad), QByteArrayLiteral("not a configuration"));
    EXPECT_EQ(PointsIn(fallback), 1);
}

TEST_F(DocumentTest, SaveAfterAFailedOpenNeverReplacesThePreviousFile) {
    const QString plant = MakeConfigFile("plant.cfg");
    const std::vector<uint8_t> plantBytes = ReadAll(plant);
    LoadAndClearLog(plant);
    prompt.openPicks = {Path("gone.cfg")};
    doc.FileOpen();
    AddPoint();
    prompt.savePicks = {Path("picked.cfg")};
    doc.FileSave();
    EXPECT_EQ(ReadAll(plant), plantBytes);
    EXPECT_EQ(PointsIn(Path("picked.cfg")), 1);
    ExpectState("picked", Dir(), false, false);
}

TEST_F(DocumentTest, CancelledSaveDialogTakesTheFirstFreeNewName) {
    LoadAndClearLog(MakeConfigFile("plant.cfg"));
    const QByteArray taken = QByteArrayLiteral("the operator's own file");
    ASSERT_TRUE(WriteText(Path("Новая.cfg"), taken));
    // A dangling link is a taken name as well: writing through it would create its target.
    ASSERT_TRUE(QFile::link(Path("elsewhere.cfg"), Path("Новая1.cfg")));
    doc.FileNew();
    AddPoint();
    log.clear();
    prompt.savePicks = {std::nullopt};
    doc.FileSave();
    const QString written = Path("Новая2.cfg");
    EXPECT_EQ(log, (Log{"Save:Сохранить файл конфигурации|" + Dir(), "UpdateCaption",
                        "MAIN_CFG:" + written.toStdString()}));
    EXPECT_EQ(ReadText(Path("Новая.cfg")), taken);
    EXPECT_FALSE(QFileInfo::exists(Path("elsewhere.cfg")));
    EXPECT_EQ(PointsIn(written), 1);
    ExpectState("Новая2", Dir(), false, false);
}

TEST_F(DocumentTest, SettingsFileThatCannotBeWrittenIsReportedOnceAndTheActionsGoOn) {
    host.settingsError = QStringLiteral("Не удалось создать файл \"/opt/qora/qora.ini\". Отказано в доступе");
    const QString plant = MakeConfigFile("plant.cfg");
    EXPECT_EQ(doc.LoadConfiguration(plant), TConfigDocument::LoadOutcome::Loaded);
    const std::string report = "Error:" + QString::fromUtf16(kMsgStartupNotRecorded).toStdString() + "\n" +
                               host.settingsError.toStdString();
    const std::string p = plant.toStdString();
    EXPECT_EQ(log, (Log{"StopPolling", "UpdateCaption", "ClearList", "RebuildTree(-1,-1)", "MAIN_CFG:" + p,
                        report, "StartPolling"}));
    ExpectState("plant", Dir(), false, false);

    log.clear();
    AddPoint();
    doc.FileSave();
    EXPECT_EQ(doc.LoadConfiguration(plant), TConfigDocument::LoadOutcome::Loaded);
    EXPECT_EQ(
        std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("Error:", 0) == 0; }),
        0);
    EXPECT_EQ(model->pointCount, 2);
    ExpectState("plant", Dir(), false, false);
}
