// Reads the common-controls manifest that the driver module carries for its own windows: resource 2
// of type RT_MANIFEST, the form a DLL uses, naming version 6 of the common controls for any processor,
// and usable by the system for an activation context.
// Usage: manifest_check.exe MODULE. Prints one line per check; exits with 0 only when all passed.

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

int failed = 0;

void Check(bool condition, const std::string& what) {
  std::printf("%s: %s\n", condition ? "ok" : "FAILED", what.c_str());
  std::fflush(stdout);
  if (!condition) ++failed;
}

// The module, loaded for its resources only: none of its code runs.
class ResourceModule {
 public:
  explicit ResourceModule(const wchar_t* path)
      : module_(::LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
  ResourceModule(const ResourceModule&) = delete;
  ResourceModule& operator=(const ResourceModule&) = delete;
  ~ResourceModule() {
    if (module_ != nullptr) ::FreeLibrary(module_);
  }
  HMODULE get() const { return module_; }

 private:
  HMODULE module_;
};

// ISOLATIONAWARE_MANIFEST_RESOURCE_ID: the manifest a DLL carries for its own use.
constexpr WORD kManifestResource = 2;

std::string ManifestText(HMODULE module) {
  HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(kManifestResource), MAKEINTRESOURCEW(24));
  if (found == nullptr) return "";
  HGLOBAL loaded = ::LoadResource(module, found);
  const auto* bytes = static_cast<const char*>(loaded != nullptr ? ::LockResource(loaded) : nullptr);
  return bytes != nullptr ? std::string(bytes, ::SizeofResource(module, found)) : "";
}

bool Holds(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: manifest_check.exe MODULE\n", stderr);
    return 2;
  }
  const ResourceModule module(argv[1]);
  Check(module.get() != nullptr, "the module loads as a resource file");
  const std::string manifest = module.get() != nullptr ? ManifestText(module.get()) : "";
  Check(!manifest.empty(),
        "resource 2 of type RT_MANIFEST is there (" + std::to_string(manifest.size()) + " bytes)");
  Check(Holds(manifest, "name=\"Microsoft.Windows.Common-Controls\"") &&
            Holds(manifest, "version=\"6.0.0.0\"") &&
            Holds(manifest, "publicKeyToken=\"6595b64144ccf1df\"") &&
            Holds(manifest, "processorArchitecture=\"*\""),
        "it asks for version 6.0.0.0 of Microsoft.Windows.Common-Controls for any processor");
  ACTCTXW request{};
  request.cbSize = sizeof(request);
  request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  request.lpSource = argv[1];
  request.lpResourceName = MAKEINTRESOURCEW(kManifestResource);
  const HANDLE context = ::CreateActCtxW(&request);
  Check(context != INVALID_HANDLE_VALUE,
        "the system makes an activation context of it (error " +
            std::to_string(context == INVALID_HANDLE_VALUE ? ::GetLastError() : 0) + ")");
  if (context != INVALID_HANDLE_VALUE) ::ReleaseActCtx(context);
  std::printf("%d failed\n", failed);
  return failed == 0 ? 0 : 1;
}
