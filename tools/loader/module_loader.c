/* SPDX-License-Identifier: MIT */
#include "module_loader.h"

#include <stdio.h>
#include <string.h>

#if defined(_WIN32)

#include <windows.h>

/* No path for the file: a call that failed has left its error; a path that
 * came back too long for the file's name to follow is said to be so. */
static HMODULE NoRoom(DWORD length) {
  if (length != 0) SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return NULL;
}

/* This program's folder with `file` appended, loaded: by its UTF-16 path
 * where the system has the W calls (looked up, so that the program still
 * loads where they are absent; Windows 9x has them only as stubs that fail),
 * else by its ANSI path. Null when the path does not fit (the error is then
 * ERROR_FILENAME_EXCED_RANGE, and `path` says what was looked for) or the
 * load fails. */
static HMODULE LoadBesideThisProgram(const char* file, LoadedModule* loaded) {
  snprintf(loaded->path, sizeof loaded->path, "%s beside this program", file);
  size_t fileLength = strlen(file);
  HMODULE kernel = GetModuleHandleA("KERNEL32.dll");
  DWORD(WINAPI * fileNameW)
  (HMODULE, LPWSTR, DWORD) = (void*)GetProcAddress(kernel, "GetModuleFileNameW");
  HMODULE(WINAPI * loadW)(LPCWSTR) = (void*)GetProcAddress(kernel, "LoadLibraryW");
  if (fileNameW != NULL && loadW != NULL) {
    wchar_t wide[MAX_PATH];
    DWORD length = fileNameW(NULL, wide, MAX_PATH);
    if (length != 0 || GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) {
      size_t name = 0; /* just after the last backslash of a path that fits */
      for (DWORD i = 0; length < MAX_PATH && i < length; ++i)
        name = wide[i] == L'\\' ? i + 1 : name;
      if (name == 0 || name + fileLength >= MAX_PATH) return NoRoom(length);
      for (size_t i = 0; i <= fileLength; ++i) wide[name + i] = (wchar_t)file[i];
      WideCharToMultiByte(CP_ACP, 0, wide, -1, loaded->path, sizeof loaded->path, NULL, NULL);
      return loadW(wide);
    }
  }
  char ansi[MAX_PATH];
  DWORD length = GetModuleFileNameA(NULL, ansi, MAX_PATH);
  char* end = length == 0 || length >= MAX_PATH ? NULL : strrchr(ansi, '\\');
  if (end == NULL || (size_t)(end + 1 - ansi) + fileLength >= MAX_PATH) return NoRoom(length);
  strcpy(end + 1, file);
  snprintf(loaded->path, sizeof loaded->path, "%s", ansi);
  return LoadLibraryA(ansi);
}

int LoadModuleLibrary(const char* path, LoadedModule* loaded) {
  memset(loaded, 0, sizeof *loaded);
  if (path != NULL) snprintf(loaded->path, sizeof loaded->path, "%s", path);
  HMODULE library =
      path != NULL ? LoadLibraryA(path) : LoadBesideThisProgram("Pelmar4.dll", loaded);
  path = loaded->path;
  if (library == NULL) {
    snprintf(loaded->error, sizeof loaded->error, "cannot load %.400s (error %lu)", path,
             (unsigned long)GetLastError());
    return 0;
  }
  loaded->byName =
      (GetInterfacePtrFunction)(void (*)(void))GetProcAddress(library, "_GetInterfacePtr@0");
  loaded->byOrdinal =
      (GetInterfacePtrFunction)(void (*)(void))GetProcAddress(library, MAKEINTRESOURCEA(1));
  if (loaded->byName == NULL) {
    snprintf(loaded->error, sizeof loaded->error, "%.400s has no export _GetInterfacePtr@0", path);
    FreeLibrary(library);
    return 0;
  }
  loaded->handle = library;
  return 1;
}

void UnloadModuleLibrary(LoadedModule* loaded) {
  if (loaded->handle != NULL) FreeLibrary((HMODULE)loaded->handle);
  loaded->handle = NULL;
}

#else

#include <dlfcn.h>
#include <unistd.h>

int LoadModuleLibrary(const char* path, LoadedModule* loaded) {
  memset(loaded, 0, sizeof *loaded);
  if (path != NULL) {
    snprintf(loaded->path, sizeof loaded->path, "%s", path);
  } else {
    /* This program's folder with the library's name appended; a path that
     * does not fit is refused by name, never loaded cut short. */
    static const char kFile[] = "libPelmar4.so";
    char self[sizeof loaded->path];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self);
    if (length > 0 && (size_t)length < sizeof self) self[length] = 0;
    char* end = length <= 0 || (size_t)length >= sizeof self ? NULL : strrchr(self, '/');
    if (end == NULL || (size_t)(end + 1 - self) + sizeof kFile > sizeof self) {
      snprintf(loaded->error, sizeof loaded->error,
               "cannot load %s beside this program: its path is unknown or too long", kFile);
      return 0;
    }
    strcpy(end + 1, kFile);
    snprintf(loaded->path, sizeof loaded->path, "%s", self);
  }
  path = loaded->path;
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    snprintf(loaded->error, sizeof loaded->error, "cannot load %.400s: %s", path, dlerror());
    return 0;
  }
  void* symbol = dlsym(library, "GetInterfacePtr");
  if (symbol == NULL) {
    snprintf(loaded->error, sizeof loaded->error, "%.400s has no export GetInterfacePtr", path);
    dlclose(library);
    return 0;
  }
  memcpy(&loaded->byName, &symbol, sizeof symbol);
  loaded->handle = library;
  return 1;
}

void UnloadModuleLibrary(LoadedModule* loaded) {
  if (loaded->handle != NULL) dlclose(loaded->handle);
  loaded->handle = NULL;
}

#endif
