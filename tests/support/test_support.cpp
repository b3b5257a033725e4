#include "test_support.h"

#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace testsupport {

static const char* WineVersion()
{
    typedef const char*(CDECL * GetVersion)();
    static GetVersion getVersion = reinterpret_cast<GetVersion>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
    return getVersion != nullptr ? getVersion() : nullptr;
}

bool UnderWine()
{
    static const bool underWine = WineVersion() != nullptr;
    return underWine;
}

bool WindowsBranches()
{
    static const bool windows = [] {
        wchar_t value[8] = {};
        return !UnderWine() ||
               (GetEnvironmentVariableW(L"MORVELLANE_TESTS_AS_WINDOWS", value, 8) == 1 && value[0] == L'1');
    }();
    return windows;
}

// A host (Linux) path as Wine's Z: drive shows it.
static std::wstring FromHostPath(const std::string& hostPath)
{
    std::wstring result = L"Z:";
    for (char c : hostPath) {
        result.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return result;
}

// The Windows kit's folder when this program runs from its bin folder (the
// kit's runner lies one folder up); empty in a build tree.
static std::wstring KitRoot()
{
    static const std::wstring root = [] {
        wchar_t own[MAX_PATH];
        std::wstring path(own, GetModuleFileNameW(nullptr, own, MAX_PATH));
        std::wstring bin = path.substr(0, path.rfind(L'\\'));
        std::wstring kit = bin.substr(0, bin.rfind(L'\\'));
        return GetFileAttributesW((kit + L"\\Run-WindowsKit.ps1").c_str()) != INVALID_FILE_ATTRIBUTES ? kit
                                                                                                 : std::wstring();
    }();
    return root;
}

std::wstring TestPath(const std::string& hostPath, const wchar_t* kitPath)
{
    return KitRoot().empty() ? FromHostPath(hostPath) : KitRoot() + L"\\" + kitPath;
}

std::wstring ProgramDirectory()
{
    wchar_t release[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"MORVELLANE_RELEASE_DIR", release, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        return std::wstring(release, length);
    }
    return TestPath(MORVELLANE_BIN_DIR, L"release");
}

static void RemoveTree(const std::wstring& directory)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            std::wstring path = directory + L"\\" + name;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                RemoveDirectoryW(path.c_str()) || DeleteFileW(path.c_str());
            } else if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                RemoveTree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(directory.c_str());
}

std::wstring MakeFreshDirectory(const std::wstring& name)
{
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    std::wstring root = std::wstring(temp) + L"morvellane-tests";
    CreateDirectoryW(root.c_str(), nullptr);
    std::wstring directory = root + L"\\" + name;
    RemoveTree(directory);
    CreateDirectoryW(directory.c_str(), nullptr);
    return directory;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

std::string ReadFileBytes(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    std::string bytes;
    char chunk[65536];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0) {
        bytes.append(chunk, read);
    }
    CloseHandle(file);
    return bytes;
}

std::wstring ReadFileUtf16(const std::wstring& path)
{
    std::string bytes = ReadFileBytes(path);
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

bool CopyInto(const std::wstring& source, const std::wstring& directory, const std::wstring& name)
{
    return CopyFileW(source.c_str(), (directory + L"\\" + name).c_str(), FALSE) != FALSE;
}

// Runs a command on the host through /bin/sh and waits for it (its exit code
// does not come back through Wine).
static void RunHostShell(const std::string& command)
{
    std::wstring commandLine = L"sh -c \"";
    for (char c : command) {
        if (c == '"' || c == '\\') {
            commandLine.push_back(L'\\');
        }
        commandLine.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    commandLine += L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(L"Z:\\bin\\sh", &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
        WaitForSingleObject(process.hProcess, 30000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

// The host path of a Windows path, as Wine maps it.
static std::string HostPath(const std::wstring& windowsPath)
{
    typedef char*(CDECL * ToUnix)(const wchar_t*);
    ToUnix toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unixPath = toUnix != nullptr ? toUnix(windowsPath.c_str()) : nullptr;
    std::string result = unixPath != nullptr ? unixPath : "";
    HeapFree(GetProcessHeap(), 0, unixPath);
    return result;
}

// A junction (a mount point) from LINK, a new empty directory, to TARGET.
static bool MakeJunction(const std::wstring& target, const std::wstring& link)
{
    if (!CreateDirectoryW(link.c_str(), nullptr)) {
        return false;
    }
    HANDLE directory = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (directory == INVALID_HANDLE_VALUE) {
        RemoveDirectoryW(link.c_str());
        return false;
    }
    // Tag, data length, reserved, then the substitute and print names' offsets
    // and lengths, then both names, each ended by a NUL.
    const std::wstring substitute = L"\\??\\" + target;
    std::wstring names = substitute + L'\0' + target + L'\0';
    std::string buffer(16 + names.size() * sizeof(wchar_t), '\0');
    WORD* words = reinterpret_cast<WORD*>(&buffer[0]);
    *reinterpret_cast<DWORD*>(&buffer[0]) = IO_REPARSE_TAG_MOUNT_POINT;
    words[2] = static_cast<WORD>(buffer.size() - 8);
    words[4] = 0;
    words[5] = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
    words[6] = static_cast<WORD>((substitute.size() + 1) * sizeof(wchar_t));
    words[7] = static_cast<WORD>(target.size() * sizeof(wchar_t));
    memcpy(&buffer[16], names.data(), names.size() * sizeof(wchar_t));
    DWORD returned = 0;
    BOOL made = DeviceIoControl(directory, FSCTL_SET_REPARSE_POINT, &buffer[0], static_cast<DWORD>(buffer.size()),
                                nullptr, 0, &returned, nullptr);
    DWORD error = GetLastError();
    CloseHandle(directory);
    if (!made) {
        RemoveDirectoryW(link.c_str());
    }
    SetLastError(error);
    return made != FALSE;
}

static bool ReadsAsDirectoryLink(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & 0x410) == 0x410;
}

bool MakeDirectoryLink(const std::wstring& target, const std::wstring& link, std::string* refused)
{
    if (WindowsBranches()) {
        if (MakeJunction(target, link) && ReadsAsDirectoryLink(link)) {
            return true;
        }
        DWORD junctionError = GetLastError();
        if (CreateSymbolicLinkW(link.c_str(), target.c_str(),
                                SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
            ReadsAsDirectoryLink(link)) {
            return true;
        }
        *refused = "Windows made neither a junction (error " + std::to_string(junctionError) +
                   ") nor a directory symbolic link (error " + std::to_string(GetLastError()) +
                   "); a symbolic link needs Developer Mode or administrator";
        // Wine 8 makes neither (measured): the host's link stands in.
        if (!UnderWine()) {
            return false;
        }
    }
    RunHostShell("ln -s '" + HostPath(target) + "' '" + HostPath(link) + "'");
    // Wine may report the host shell's end before the link is visible.
    for (int attempt = 0; attempt < 100; ++attempt) {
        DWORD attributes = GetFileAttributesW(link.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            return (attributes & 0x410) == 0x410;
        }
        Sleep(50);
    }
    *refused = "Wine did not show the host's symbolic link";
    return false;
}

void RemoveDirectoryLink(const std::wstring& link)
{
    // Wine's link is the host's; elsewhere a junction or a directory symbolic
    // link goes with RemoveDirectoryW.
    if (UnderWine()) {
        RunHostShell("rm -f '" + HostPath(link) + "'");
    } else {
        RemoveDirectoryW(link.c_str());
    }
}

static std::wstring PowerShellHome()
{
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system) + L"\\WindowsPowerShell\\v1.0";
}

std::wstring PowerShellPath()
{
    return PowerShellHome() + L"\\powershell.exe";
}

std::wstring BinDirectory()
{
    return TestPath(MORVELLANE_BIN_DIR, L"bin");
}

// On the Windows branches the system folder is left alone: whatever is at
// PowerShell's path, the real Windows PowerShell on Windows, stays there.
bool InstallPowerShellStandIn()
{
    if (WindowsBranches()) {
        return true;
    }
    return CopyFileW((BinDirectory() + L"\\powershell-standin.exe").c_str(), PowerShellPath().c_str(), FALSE) != FALSE;
}

bool InstallPowerShellEngine()
{
    if (WindowsBranches()) {
        return true;
    }
    return CopyFileW((PowerShellHome() + L"\\powershell-engine.exe").c_str(), PowerShellPath().c_str(), FALSE) !=
           FALSE;
}

// The text after MARKER up to the next double quote, or an empty text.
static std::string QuotedAfter(const std::string& text, const std::string& marker)
{
    size_t start = text.find(marker);
    if (start == std::string::npos) {
        return std::string();
    }
    start += marker.size();
    return text.substr(start, text.find('"', start) - start);
}

std::string EngineDescription()
{
    if (!UnderWine()) {
        return "Windows PowerShell at " + Narrow(PowerShellPath()) + " on Windows";
    }
    // The stand-in engine's build files name its PowerShell and its runtime.
    std::string dependencies = ReadFileBytes(PowerShellHome() + L"\\powershell.deps.json");
    std::string configuration = ReadFileBytes(PowerShellHome() + L"\\powershell.runtimeconfig.json");
    return "the PowerShell engine for Windows (PowerShell " + QuotedAfter(dependencies, "\"Microsoft.PowerShell.SDK/") +
           " on .NET " + QuotedAfter(configuration, "\"version\": \"") + ") under Wine " + WineVersion();
}

std::string EngineDeath(DWORD exitCode, const std::string& errorOutput)
{
    if (exitCode != 0xC0000602 && exitCode != 0xC0000005 &&
        errorOutput.find("Internal CLR error") == std::string::npos) {
        return std::string();
    }
    char code[16];
    snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(exitCode));
    return "PowerShell itself died (exit code " + std::string(code) + "): " + EngineDescription() +
           " failed, not the program under test.";
}

const char kNeedsStandIn[] =
    "needs the recording PowerShell stand-in at System32\\WindowsPowerShell\\v1.0; on Windows the tests never "
    "touch the system folder";
const char kNeedsAdministrator[] = "changes machine-wide PowerShell settings, which needs administrator";

bool MayChangeMachineState()
{
    static const bool administrator = [] {
        SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
        PSID administrators = nullptr;
        BOOL member = FALSE;
        if (AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                     0, 0, &administrators)) {
            CheckTokenMembership(nullptr, administrators, &member);
            FreeSid(administrators);
        }
        return member != FALSE;
    }();
    return administrator;
}

struct RememberedValue {
    HKEY root;
    std::wstring key;
    std::wstring name;
    std::wstring firstMissingKey;  // the outermost key of the path that did not exist, or empty
    bool valueExisted;
    DWORD type;
    std::string data;
};

static std::vector<RememberedValue>& Remembered()
{
    static std::vector<RememberedValue> values;
    return values;
}

static RememberedValue* FindRemembered(HKEY root, const wchar_t* key, const wchar_t* name)
{
    for (RememberedValue& value : Remembered()) {
        if (value.root == root && value.key == key && value.name == name) {
            return &value;
        }
    }
    return nullptr;
}

void RememberRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name)
{
    if (FindRemembered(root, key, name) != nullptr) {
        return;
    }
    RememberedValue value = {root, key, name, std::wstring(), false, REG_NONE, std::string()};
    const std::wstring path = key;
    for (size_t end = 0; end != std::wstring::npos && value.firstMissingKey.empty();) {
        end = path.find(L'\\', end + 1);
        std::wstring part = path.substr(0, end);
        HKEY probe = nullptr;
        if (RegOpenKeyExW(root, part.c_str(), 0, KEY_READ, &probe) == ERROR_SUCCESS) {
            RegCloseKey(probe);
        } else {
            value.firstMissingKey = part;
        }
    }
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE, &opened) == ERROR_SUCCESS) {
        DWORD size = 0;
        if (RegQueryValueExW(opened, name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
            value.data.resize(size);
            value.valueExisted = RegQueryValueExW(opened, name, nullptr, &value.type,
                                                  reinterpret_cast<BYTE*>(&value.data[0]), &size) == ERROR_SUCCESS;
            value.data.resize(size);
        }
        RegCloseKey(opened);
    }
    Remembered().push_back(value);
}

void RestoreRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name)
{
    const RememberedValue* value = FindRemembered(root, key, name);
    if (value == nullptr) {
        return;
    }
    if (value->valueExisted) {
        RegSetKeyValueW(root, key, name, value->type, value->data.data(), static_cast<DWORD>(value->data.size()));
    } else {
        RegDeleteKeyValueW(root, key, name);
        if (!value->firstMissingKey.empty()) {
            RegDeleteTreeW(root, value->firstMissingKey.c_str());  // all of it made by the tests
        }
    }
}

// Sets a machine value, or puts back what it was before it was first set.
static void SetMachineValue(const wchar_t* key, const wchar_t* name, bool on, DWORD type, const void* data,
                            DWORD size)
{
    RememberRegistryValue(HKEY_LOCAL_MACHINE, key, name);
    if (on) {
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, name, type, data, size);
    } else {
        RestoreRegistryValue(HKEY_LOCAL_MACHINE, key, name);
    }
}

void SetMachineLockdown(bool on)
{
    const wchar_t value[] = L"4";
    SetMachineValue(L"System\\CurrentControlSet\\Control\\Session Manager\\Environment", L"__PSLockdownPolicy", on,
                    REG_SZ, value, sizeof value);
}

void SetFipsPolicy(bool on)
{
    const DWORD enabled = 1;
    SetMachineValue(L"System\\CurrentControlSet\\Control\\Lsa\\FipsAlgorithmPolicy", L"Enabled", on, REG_DWORD,
                    &enabled, sizeof enabled);
}

static HANDLE OpenInheritable(const std::wstring& path, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

ProcessResult RunProcess(const std::wstring& application, const std::wstring& commandLine,
                         const std::wstring& workDirectory, StandardError standardError,
                         const std::string& standardInput, DWORD timeoutMs)
{
    ProcessResult result;
    std::wstring inputPath = workDirectory + L"\\stdin.txt";
    std::wstring outputPath = workDirectory + L"\\stdout.txt";
    std::wstring errorPath = workDirectory + L"\\stderr.txt";
    WriteFileBytes(inputPath, standardInput);
    HANDLE input = OpenInheritable(inputPath, GENERIC_READ, OPEN_EXISTING);
    HANDLE output = OpenInheritable(outputPath, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE error = OpenInheritable(errorPath, GENERIC_WRITE, CREATE_ALWAYS);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = standardError == StandardError::File ? error
                        : standardError == StandardError::Null ? nullptr
                                                               : INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION process = {};
    std::wstring writable = commandLine;
    result.started = CreateProcessW(application.empty() ? nullptr : application.c_str(), &writable[0], nullptr,
                                    nullptr, TRUE, 0, nullptr, nullptr, &startup, &process) != FALSE;
    CloseHandle(input);
    CloseHandle(output);
    CloseHandle(error);
    if (result.started) {
        result.finished = WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0;
        if (!result.finished) {
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, 5000);
        }
        GetExitCodeProcess(process.hProcess, &result.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    result.standardOutput = ReadFileBytes(outputPath);
    result.standardError = ReadFileBytes(errorPath);
    return result;
}

void SetVariable(const wchar_t* name, const wchar_t* value)
{
    SetEnvironmentVariableW(name, value);
}

std::string Narrow(const std::wstring& text)
{
    std::string result;
    for (wchar_t c : text) {
        result.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return result;
}

}  // namespace testsupport
