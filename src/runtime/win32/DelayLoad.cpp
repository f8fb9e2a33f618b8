#include "DelayLoad.h"

#include "runtime/RuntimeError.h"

// The image's own base, which the linker defines: the descriptors' addresses are relative to it.
extern "C" IMAGE_DOS_HEADER __ImageBase;
// The toolchain's delay-load helper (libmingwex), which delayimp.h does not declare: it loads a
// descriptor's DLL if need be and binds one entry of its address table.
extern "C" FARPROC WINAPI __delayLoadHelper2(PCImgDelayDescr descriptor, FARPROC *entry);

namespace {

template <typename Type> Type *atAddress(RVA address)
{
    return reinterpret_cast<Type *>(reinterpret_cast<BYTE *>(&__ImageBase) + address);
}

/// The delay-load helper's notification hook. Before it loads a DLL it asks here first, and
/// here the search is System32 alone, whatever SetDefaultDllDirectories has said so far: a
/// program that calls into a delay-loaded DLL before starting the runtime (a test child, a
/// static initialiser) searches no further either.
FARPROC WINAPI loadFromSystem(unsigned notification, PDelayLoadInfo info)
{
    if (notification != dliNotePreLoadLibrary)
        return nullptr;
    if (const HMODULE module = ::LoadLibraryExA(info->szDll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
        return reinterpret_cast<FARPROC>(module);
    // Answering nothing would let the helper try a plain LoadLibrary, whose search can start in
    // the program's folder; it fails here instead, with the helper's own exception.
    info->dwLastError = ::GetLastError();
    const ULONG_PTR arguments[] = {reinterpret_cast<ULONG_PTR>(info)};
    ::RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND), 0, 1, arguments);
    return nullptr;
}

/// A descriptor's import address table, up to its closing null entry.
std::span<FARPROC> addressTable(const ImgDelayDescr &descriptor)
{
    FARPROC *const first = atAddress<FARPROC>(descriptor.rvaIAT);
    std::size_t count = 0;
    while (first[count] != nullptr)
        ++count;
    return {first, count};
}

} // namespace

// The helper reads its hook from this variable; defining it here takes the place of the
// toolchain's empty one.
PfnDliHook __pfnDliNotifyHook2 = loadFromSystem;

namespace runtime::win32 {

std::vector<DelayLoadedLibrary> delayLoadedLibraries()
{
    std::vector<DelayLoadedLibrary> libraries;
    for (const ImgDelayDescr *descriptor : delayLoadDescriptors()) {
        DelayLoadedLibrary library;
        library.name = atAddress<const char>(descriptor->rvaDLLName);
        library.module = *atAddress<HMODULE>(descriptor->rvaHmod);
        for (const FARPROC binding : addressTable(*descriptor))
            library.bindings.push_back(reinterpret_cast<const void *>(binding));
        libraries.push_back(std::move(library));
    }
    return libraries;
}

void loadDelayLoadedLibraries()
{
    for (const ImgDelayDescr *descriptor : delayLoadDescriptors()) {
        const char *const name = atAddress<const char>(descriptor->rvaDLLName);
        // Loaded even when nothing calls it yet: a DLL already loaded is found by its name
        // before any search, so whatever asks for it later, Windows' own DLLs included, gets
        // this copy. Loaded here first, too, so that a missing DLL is an error the program can
        // report rather than the helper's exception.
        if (::LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32) == nullptr)
            throw RuntimeError(ErrorKind::Unavailable,
                               std::string("Windows' ") + name + " cannot be loaded");
        for (FARPROC &entry : addressTable(*descriptor))
            __delayLoadHelper2(descriptor, &entry);
    }
}

} // namespace runtime::win32
