// Shared libraries loaded at run time through the dynamic loader.
#include <dlfcn.h>

#include "lumo/files.h"
#include "lumo/process.h"

bool CL_DynamicLibrary::Load(const std::string& name) {
    fHandle = dlopen(CL_GetNativePath(name).c_str(), RTLD_LAZY);
    return fHandle != nullptr;
}

void CL_DynamicLibrary::Unload() {
    if (fHandle) dlclose(fHandle);
    fHandle = nullptr;
}

void* CL_DynamicLibrary::GetSymbol(const std::string& name, bool* success) {
    if (!fHandle) return nullptr;
    void* symbol = dlsym(fHandle, name.c_str());
    if (success) *success = symbol != nullptr;
    return symbol;
}

std::string CL_DynamicLibrary::GetError() {
    const char* text = dlerror();
    return text ? std::string(text) : std::string();
}

std::string CL_DynamicLibrary::CanonicalizeName(const std::string& name, Category category) {
    std::string native = CL_GetNativePath(name);
    std::string dir;
    std::string base = native;
    size_t slash = native.rfind('/');
    if (slash != std::string::npos && slash + 1 < native.size()) {
        dir = native.substr(0, slash + 1);
        base = native.substr(slash + 1);
    }
    size_t dot = base.find('.');
    if (dot != std::string::npos) base.resize(dot);
    return dir + (category == LIBRARY ? "lib" : "") + base + Extension(category);
}

std::string CL_DynamicLibrary::Extension(Category) {
    return ".so";
}
