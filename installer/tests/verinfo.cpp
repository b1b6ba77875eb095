// verinfo <file> <log>: writes what the version API reads from a program's or
// library's version resource, and its application manifest, as UTF-8 lines
// "name=value" to <log>. Exit code 0 when the file has a version resource.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::string dotted(DWORD high, DWORD low) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%lu.%lu.%lu.%lu", static_cast<unsigned long>(HIWORD(high)),
                static_cast<unsigned long>(LOWORD(high)), static_cast<unsigned long>(HIWORD(low)),
                static_cast<unsigned long>(LOWORD(low)));
  return buf;
}

// The manifest a program is started with (resource 1 of type RT_MANIFEST).
std::string manifest(const std::wstring& file) {
  HMODULE module = LoadLibraryExW(file.c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!module) return {};
  std::string text;
  if (HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
    HGLOBAL data = LoadResource(module, res);
    const void* bytes = data ? LockResource(data) : nullptr;
    if (bytes) text.assign(static_cast<const char*>(bytes), SizeofResource(module, res));
  }
  FreeLibrary(module);
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const std::wstring file = argv[1];
  FILE* log = _wfopen(argv[2], L"wb");
  if (!log) return 2;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  std::vector<BYTE> info(size);
  if (size == 0 || !GetFileVersionInfoW(file.c_str(), 0, size, info.data())) {
    std::fprintf(log, "error=%lu\n", GetLastError());
    std::fclose(log);
    return 1;
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT len = 0;
  if (VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &len) && fixed) {
    std::fprintf(log, "FixedFileVersion=%s\n",
                 dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS).c_str());
    std::fprintf(log, "FixedProductVersion=%s\n",
                 dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS).c_str());
    std::fprintf(log, "FileType=%lu\n", fixed->dwFileType);
  }
  // The strings of the first language the resource lists.
  struct Translation {
    WORD language, codePage;
  }* translation = nullptr;
  if (VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                     reinterpret_cast<void**>(&translation), &len) &&
      len >= sizeof(Translation)) {
    wchar_t block[64];
    std::swprintf(block, 64, L"\\StringFileInfo\\%04x%04x\\", translation->language,
                  translation->codePage);
    for (const wchar_t* name :
         {L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName", L"OriginalFilename",
          L"ProductName", L"ProductVersion", L"OLESelfRegister"}) {
      wchar_t* value = nullptr;
      if (VerQueryValueW(info.data(), (std::wstring(block) + name).c_str(),
                         reinterpret_cast<void**>(&value), &len) &&
          value)
        std::fprintf(log, "%s=%s\n", utf8(name).c_str(), utf8(value).c_str());
    }
  }
  std::fprintf(log, "Manifest=%s\n", manifest(file).c_str());
  std::fclose(log);
  return 0;
}
