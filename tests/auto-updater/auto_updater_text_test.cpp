// The updater's text limits, on the functions themselves: Wine keeps paths and
// command lines far below these sizes.
#include <gtest/gtest.h>

#include <string>

#include "auto_updater.h"
#include "test_support.h"

namespace {

TEST(AppendBounded, StopsAt32767CharactersAndKeepsTheCut)
{
    static wchar_t buffer[kBufferUnits];
    std::wstring start(32765, L'a');
    buffer[0] = L'\0';
    ASSERT_TRUE(AppendBounded(buffer, start.c_str()));
    EXPECT_TRUE(AppendBounded(buffer, L"b"));
    EXPECT_EQ(32766u, std::wstring(buffer).size());
    EXPECT_FALSE(AppendBounded(buffer, L"cd"));
    EXPECT_EQ(start + L"bc", std::wstring(buffer));
}

TEST(CutArgumentTail, TailOfMoreThan32767CharactersIsRefused)
{
    static wchar_t tail[kBufferUnits];
    std::wstring fits = L"a.exe " + std::wstring(32767, L'x');
    EXPECT_TRUE(CutArgumentTail(fits.c_str(), tail));
    EXPECT_EQ(32767u, std::wstring(tail).size());
    EXPECT_FALSE(CutArgumentTail((fits + L"y").c_str(), tail));
    EXPECT_TRUE(CutArgumentTail(L"", tail));
    EXPECT_EQ(L"", std::wstring(tail));
}

TEST(EqualFoldingAsciiLetters, FoldsOnlyAToZ)
{
    EXPECT_TRUE(EqualFoldingAsciiLetters(L"C:\\Java\\BIN\\java.exe", L"c:\\java\\bin\\JAVA.EXE"));
    EXPECT_FALSE(EqualFoldingAsciiLetters(L"C:\\\x00C9t\\java.exe", L"C:\\\x00E9t\\java.exe"));
    EXPECT_FALSE(EqualFoldingAsciiLetters(L"C:\\java.exe", L"C:/java.exe"));
    EXPECT_FALSE(EqualFoldingAsciiLetters(L"C:\\java.exe", L"C:\\java.exe "));
}

TEST(FormatUnsignedDecimal, WholeRange)
{
    wchar_t text[11];
    for (DWORD value : {0u, 7u, 10u, 4294967295u}) {
        FormatUnsignedDecimal(value, text);
        EXPECT_EQ(std::to_wstring(value), std::wstring(text));
    }
}

// Wine keeps the temporary directory within MAX_PATH, so the longest dialogs
// are made here with the log path handed in directly, and answered in-process.
TEST(ShowUpdateFailure, TextPastTheLimitIsCutAndStillShown)
{
    static std::wstring startupLog = L"C:\\" + std::wstring(32550, L't') + L"\\Morvellane-profile-startup-1-2.log";
    // The dialog blocks its thread until answered, so it gets a thread of its own.
    HANDLE shower = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            ShowUpdateFailure(kUpdateFailureMessage, 7, startupLog.c_str(), false);
            return 0;
        },
        nullptr, 0, nullptr);
    ASSERT_NE(nullptr, shower);
    static wchar_t text[40000];
    text[0] = L'\0';
    HWND dialog = nullptr;
    for (int waited = 0; waited < 60000 && dialog == nullptr; waited += 20) {
        Sleep(20);
        dialog = FindWindowW(nullptr, kMessageCaption);
    }
    ASSERT_NE(nullptr, dialog) << "no dialog was shown";
    GetDlgItemTextW(dialog, 0xFFFF, text, 40000);
    SendMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(shower, 10000));
    CloseHandle(shower);

    std::wstring shown = text;
    std::wstring full = std::wstring(kUpdateFailureMessage) +
                        L"\n\nExit code: 7\n\nStartup details (if PowerShell could start):\n" + startupLog + L"\n\n";
    ASSERT_EQ(32767u, shown.size());
    EXPECT_EQ(full.substr(0, 32767), shown.substr(0, full.size()));
}

std::string ResourceBytes(HMODULE module, LPCWSTR type, LPCWSTR name)
{
    HRSRC found = FindResourceExW(module, type, name, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (found == nullptr) {
        return std::string();
    }
    const char* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
    return std::string(data, SizeofResource(module, found));
}

BOOL CALLBACK CountName(HMODULE, LPCWSTR, LPWSTR, LONG_PTR count)
{
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST(Resources, ManifestAndIconGroupReadBackFromTheProgram)
{
    std::wstring program = testsupport::ProgramDirectory() + L"\\auto-updater.exe";
    HMODULE module = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(nullptr, module);

    int manifests = 0;
    EnumResourceNamesW(module, RT_MANIFEST, CountName, reinterpret_cast<LONG_PTR>(&manifests));
    EXPECT_EQ(1, manifests);
    std::string manifest = ResourceBytes(module, RT_MANIFEST, MAKEINTRESOURCEW(1));
    EXPECT_EQ(testsupport::ReadFileBytes(testsupport::TestPath(MORVELLANE_MANIFEST, L"scripts\\auto-updater.manifest")),
              manifest);
    for (const char* entry :
         {"name=\"Tinderwick.Morvellane.Installer\" version=\"32.0.0.0\" processorArchitecture=\"amd64\" type=\"win32\"",
          "level=\"asInvoker\" uiAccess=\"false\"", "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>",
          ">true</dpiAware>", ">PerMonitorV2,system</dpiAwareness>", ">true</longPathAware>"}) {
        EXPECT_NE(std::string::npos, manifest.find(entry)) << entry;
    }

    std::string group = ResourceBytes(module, RT_GROUP_ICON, MAKEINTRESOURCEW(101));
    ASSERT_GE(group.size(), 6u);
    WORD count = *reinterpret_cast<const WORD*>(group.data() + 4);
    ASSERT_EQ(7, count);
    ASSERT_EQ(6u + 7 * sizeof(IconGroupEntry), group.size());
    const int sizes[] = {256, 128, 64, 48, 32, 24, 16};
    for (int index = 0; index < 7; ++index) {
        const IconGroupEntry* entry = reinterpret_cast<const IconGroupEntry*>(group.data() + 6) + index;
        EXPECT_EQ(sizes[index] % 256, entry->width) << index;
        EXPECT_EQ(entry->width, entry->height) << index;
        EXPECT_EQ(32, entry->bitCount) << index;
        std::string image = ResourceBytes(module, RT_ICON, MAKEINTRESOURCEW(entry->id));
        ASSERT_EQ(entry->bytes, image.size()) << index;
        // The 256-pixel image is PNG (8-bit RGBA), the others 32-bit bitmaps.
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(image.data());
        if (sizes[index] == 256) {
            ASSERT_EQ(0, image.compare(0, 8, "\x89PNG\r\n\x1a\n", 8));
            EXPECT_EQ(0, image.compare(12, 4, "IHDR"));
            EXPECT_EQ(256u, (bytes[16] << 24u) | (bytes[17] << 16u) | (bytes[18] << 8u) | bytes[19]);
            EXPECT_EQ(256u, (bytes[20] << 24u) | (bytes[21] << 16u) | (bytes[22] << 8u) | bytes[23]);
            EXPECT_EQ(8, bytes[24]);
            EXPECT_EQ(6, bytes[25]);
        } else {
            const BITMAPINFOHEADER* header = reinterpret_cast<const BITMAPINFOHEADER*>(image.data());
            EXPECT_EQ(sizes[index], header->biWidth) << index;
            EXPECT_EQ(32, header->biBitCount) << index;
        }
        // Windows makes an icon of that size from each image.
        HICON icon = CreateIconFromResourceEx(const_cast<BYTE*>(bytes), static_cast<DWORD>(image.size()), TRUE,
                                              0x00030000, sizes[index], sizes[index], LR_DEFAULTCOLOR);
        ASSERT_NE(nullptr, icon) << index;
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo(icon, &info)) << index;
        BITMAP colour = {};
        GetObjectW(info.hbmColor, sizeof colour, &colour);
        EXPECT_EQ(sizes[index], colour.bmWidth) << index;
        EXPECT_EQ(sizes[index], colour.bmHeight) << index;
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
    FreeLibrary(module);
}

// What Explorer's properties and Task Manager show for each program.
TEST(Resources, BothProgramsCarryTheirFileInformation)
{
    struct Program {
        const wchar_t* file;
        const wchar_t* description;
        const wchar_t* internalName;
    };
    const Program programs[] = {{L"auto-updater.exe", L"Morvellane Automatic Updater", L"auto-updater"},
                                {L"prelaunch-bridge.exe", L"Morvellane Prelaunch Bridge", L"prelaunch-bridge"}};
    for (const Program& program : programs) {
        std::wstring path = testsupport::ProgramDirectory() + L"\\" + program.file;
        DWORD ignored = 0;
        std::string block(GetFileVersionInfoSizeW(path.c_str(), &ignored), '\0');
        ASSERT_FALSE(block.empty()) << testsupport::Narrow(program.file);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()), &block[0]));

        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        EXPECT_EQ(MAKELONG(0, 32), fixed->dwFileVersionMS);
        EXPECT_EQ(0u, fixed->dwFileVersionLS);
        EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
        EXPECT_EQ(static_cast<DWORD>(VFT_APP), fixed->dwFileType);

        DWORD* translation = nullptr;
        ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                                   &length));
        EXPECT_EQ(MAKELONG(1033, 1200), *translation);

        const std::pair<const wchar_t*, std::wstring> strings[] = {
            {L"CompanyName", L"Tinderwick"},        {L"ProductName", L"Morvellane"},
            {L"FileDescription", program.description}, {L"InternalName", program.internalName},
            {L"OriginalFilename", program.file},    {L"FileVersion", L"32.0.0.0"},
            {L"ProductVersion", L"32.0.0.0"}};
        for (const auto& expected : strings) {
            wchar_t* value = nullptr;
            std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + expected.first;
            ASSERT_TRUE(VerQueryValueW(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
                << testsupport::Narrow(key);
            EXPECT_EQ(expected.second, std::wstring(value)) << testsupport::Narrow(key);
        }
    }
}

}  // namespace
