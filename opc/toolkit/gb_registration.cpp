// Registration of the server on this platform: a systemd user unit (the start by a client,
// with -Embedding) and an XDG desktop entry (the start by the operator). Both carry the
// server's CLSID, ProgID, vendor, description and version as X-OPC-* keys, which systemd and
// desktop environments ignore.
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "base/atomic_file.h"
#include "opc/toolkit/gb_data_access.h"

namespace gb {

namespace {

std::string HomeDir() {
    if (const char* h = std::getenv("HOME"); h && h[0] == '/') return h;
    struct passwd pw {};
    struct passwd* result = nullptr;
    char buf[4096];
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &result) == 0 && result && result->pw_dir)
        return result->pw_dir;
    return "/tmp";
}

// An XDG base directory: the variable when it holds an absolute path, else HOME/fallback.
std::string XdgDir(const char* variable, const char* fallback) {
    if (const char* v = std::getenv(variable); v && v[0] == '/') return v;
    return HomeDir() + "/" + fallback;
}

std::string FileStem(const GUID& clsid) {
    std::string s = clsid.ToString();  // {XXXXXXXX-...}
    s = s.substr(1, s.size() - 2);
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return "opcda-" + s;
}

std::string SelfExecutable() {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

bool HasControl(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

// Plain text for a unit file value: specifiers doubled, control characters as blanks.
std::string UnitText(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '%')
            out += "%%";
        else if (c < 0x20 || c == 0x7F)
            out += ' ';
        else
            out += static_cast<char>(c);
    }
    return out;
}

// One ExecStart word: double-quoted, C escapes for \ and ", specifiers and variables doubled.
std::string UnitExecWord(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\', out += c;
        else if (c == '%')
            out += "%%";
        else if (c == '$')
            out += "$$";
        else
            out += c;
    }
    return out + "\"";
}

// One path of a unit's path list (ReadWritePaths=): double-quoted, C escapes for \ and ",
// specifiers doubled (no variables are expanded there).
std::string UnitPathWord(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\', out += c;
        else if (c == '%')
            out += "%%";
        else
            out += c;
    }
    return out + "\"";
}

// A desktop entry string value: backslash escapes for \, newline, tab, return.
std::string DesktopText(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// One word of a desktop entry Exec value: quoted, with the argument escapes (\" \` \$ \\),
// then the string escape of every backslash, and field codes doubled.
std::string DesktopExecWord(const std::string& s) {
    std::string quoted = "\"";
    for (char c : s) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    std::string out;
    for (char c : quoted) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '%')
            out += "%%";
        else
            out += c;
    }
    return out;
}

// Writes content to path crash-safely, making its folder first. Returns 0 or the errno of the
// step that failed.
int WriteServiceFile(const std::string& path, const std::string& content) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    if (ec) return ec.value();
    return qora::AtomicWriteFile(path, content.data(), content.size());
}

}  // namespace

std::string GBDataAccess::GBUnitFilePath(const GUID& clsid) {
    return XdgDir("XDG_CONFIG_HOME", ".config") + "/systemd/user/" + FileStem(clsid) + ".service";
}

std::string GBDataAccess::GBDesktopFilePath(const GUID& clsid) {
    return XdgDir("XDG_DATA_HOME", ".local/share") + "/applications/" + FileStem(clsid) + ".desktop";
}

HRESULT GBDataAccess::GBRegisterServer(const GUID& clsid, const char16_t* vendor, const char16_t* description,
                                       const char16_t* progId, const char16_t* version,
                                       const char16_t* executable, std::vector<GBFileFailure>* failures) {
    if (!progId || !progId[0] || !description || !description[0]) return E_INVALIDARG;
    const std::string clsidText = clsid.ToString();
    const std::string vendorText = Utf16ToUtf8(vendor ? vendor : u"");
    const std::string descText = Utf16ToUtf8(description);
    const std::string progIdText = Utf16ToUtf8(progId);
    const std::string versionText = Utf16ToUtf8(version ? version : u"");
    const std::string exe = executable && executable[0] ? Utf16ToUtf8(executable) : SelfExecutable();
    // A relative or multi-line path could never be started from these files.
    if (exe.empty() || exe[0] != '/' || HasControl(exe)) return E_INVALIDARG;

    const std::string unitName = FileStem(clsid) + ".service";
    std::string unit;
    unit += "# OPC server registration. Removed by unregistering the server.\n";
    unit += "[Unit]\n";
    unit += "Description=" + UnitText(descText) + "\n";
    unit += "X-OPC-CLSID=" + clsidText + "\n";
    unit += "X-OPC-ProgID=" + UnitText(progIdText) + "\n";
    unit += "X-OPC-Vendor=" + UnitText(vendorText) + "\n";
    unit += "X-OPC-Description=" + UnitText(descText) + "\n";
    unit += "X-OPC-Version=" + UnitText(versionText) + "\n";
    unit += "\n[Service]\n";
    unit += "Type=exec\n";
    unit += "ExecStart=" + UnitExecWord(exe) + " -Embedding\n";
    // The restart (SIGHUP, the reload) ends the server with kServiceRestartExitStatus and the
    // service manager starts it again: a process the old one started itself would be in this
    // unit's control group and be stopped with the unit once the old main process ended.
    unit += "ExecReload=/bin/kill -HUP $MAINPID\n";
    unit += "SuccessExitStatus=" + std::to_string(kServiceRestartExitStatus) + "\n";
    unit += "RestartForceExitStatus=" + std::to_string(kServiceRestartExitStatus) + "\n";
    unit += "Restart=on-failure\n";
    // Sandboxing a user unit allows. The server opens serial ports (/dev/tty*: the devices stay
    // visible), listens on TCP, writes its own folder (qora.ini, pki/, configurations) and its
    // single-instance lock in the runtime directory (%t); everything else is read-only to it.
    // The namespaced options run in a user namespace of their own (PrivateUsers), where the
    // user's groups, dialout among them, still open the ports.
    const std::string folder = exe.substr(0, std::max<size_t>(exe.rfind('/'), 1));
    unit += "NoNewPrivileges=yes\n";
    unit += "PrivateUsers=yes\n";
    unit += "PrivateTmp=yes\n";
    unit += "PrivateMounts=yes\n";
    unit += "ProtectSystem=strict\n";
    unit += "ProtectHome=read-only\n";
    unit += "ReadWritePaths=" + UnitPathWord(folder) + " %t\n";
    unit += "ProtectKernelTunables=yes\n";
    unit += "ProtectKernelModules=yes\n";
    unit += "ProtectKernelLogs=yes\n";
    unit += "ProtectControlGroups=yes\n";
    unit += "ProtectClock=yes\n";
    unit += "ProtectHostname=yes\n";
    unit += "ProtectProc=invisible\n";
    unit += "KeyringMode=private\n";
    unit += "LockPersonality=yes\n";
    unit += "MemoryDenyWriteExecute=yes\n";
    unit += "RestrictRealtime=yes\n";
    unit += "RestrictSUIDSGID=yes\n";
    unit += "RestrictNamespaces=yes\n";
    unit += "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n";
    unit += "SystemCallArchitectures=native\n";
    unit += "SystemCallFilter=@system-service\n";
    unit += "SystemCallFilter=~@privileged\n";
    unit += "SystemCallErrorNumber=EPERM\n";
    unit += "UMask=0077\n";
    unit += "\n[Install]\n";
    unit += "WantedBy=default.target\n";

    std::string desktop;
    desktop += "[Desktop Entry]\n";
    desktop += "Type=Application\n";
    desktop += "Version=1.4\n";
    desktop += "Name=" + DesktopText(descText) + "\n";
    desktop += "Comment=" + DesktopText(descText) +
               (vendorText.empty() ? "" : " (" + DesktopText(vendorText) + ")") + "\n";
    desktop += "Exec=" + DesktopExecWord(exe) + "\n";
    desktop += "Terminal=false\n";
    desktop += "Categories=Utility;\n";
    desktop += "X-OPC-CLSID=" + clsidText + "\n";
    desktop += "X-OPC-ProgID=" + DesktopText(progIdText) + "\n";
    desktop += "X-OPC-Vendor=" + DesktopText(vendorText) + "\n";
    desktop += "X-OPC-Description=" + DesktopText(descText) + "\n";
    desktop += "X-OPC-Version=" + DesktopText(versionText) + "\n";
    desktop += "X-OPC-Unit=" + unitName + "\n";

    bool failed = false;
    const std::pair<GBFileFailure::Kind, std::pair<std::string, const std::string*>> files[] = {
        {GBFileFailure::Kind::Unit, {GBUnitFilePath(clsid), &unit}},
        {GBFileFailure::Kind::DesktopEntry, {GBDesktopFilePath(clsid), &desktop}},
    };
    for (const auto& [kind, file] : files) {
        const int error = WriteServiceFile(file.first, *file.second);
        if (error == 0) continue;
        failed = true;
        if (failures) failures->push_back({kind, file.first, error});
    }
    return failed ? E_FAIL : S_OK;
}

HRESULT GBDataAccess::GBUnregisterServer(const GUID& clsid, std::vector<GBFileFailure>* failures) {
    bool removed = false;
    bool failed = false;
    const std::pair<GBFileFailure::Kind, std::string> files[] = {
        {GBFileFailure::Kind::Unit, GBUnitFilePath(clsid)},
        {GBFileFailure::Kind::DesktopEntry, GBDesktopFilePath(clsid)},
    };
    for (const auto& [kind, path] : files) {
        if (::unlink(path.c_str()) == 0) {
            removed = true;
            continue;
        }
        // Nothing there (a path through a missing or non-directory component cannot hold it).
        if (errno == ENOENT || errno == ENOTDIR) continue;
        failed = true;
        if (failures) failures->push_back({kind, path, errno});
    }
    if (failed) return E_FAIL;
    return removed ? S_OK : S_FALSE;
}

}  // namespace gb
