/* SPDX-License-Identifier: MIT */
#include "host_win32.h"

#include <process.h>
#include <string.h>
#include <windows.h>

int RunThisProgram(const char* const* args) {
  char self[MAX_PATH];
  const char* argv[16] = {self};
  GetModuleFileNameA(NULL, self, sizeof self);
  for (int i = 0; args[i] != NULL && i < 14; ++i) argv[i + 1] = args[i];
  return (int)_spawnv(_P_WAIT, self, argv);
}

void* LoadPlugin(const char* path, const char* symbol, void (**function)(void)) {
  HMODULE plugin = LoadLibraryA(path);
  if (plugin == NULL) return NULL;
  *function = (void (*)(void))GetProcAddress(plugin, symbol);
  if (*function != NULL) return plugin;
  FreeLibrary(plugin);
  return NULL;
}

void UnloadPlugin(void* plugin) {
  FreeLibrary((HMODULE)plugin);
}

int CopyBelowHere(const char* path, const wchar_t* folder, const wchar_t* file,
                  wchar_t copy[kPathChars]) {
  wchar_t source[kPathChars];
  DWORD room = kPathChars - 1 - (DWORD)wcslen(file); /* for the folder and a backslash */
  DWORD length = GetFullPathNameW(folder, room, copy, NULL);
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, source, kPathChars) == 0 || length == 0 ||
      length >= room) {
    return 0;
  }
  CreateDirectoryW(copy, NULL);
  wcscat(copy, L"\\");
  wcscat(copy, file);
  return CopyFileW(source, copy, FALSE) != 0;
}

/* The import descriptors follow the PE header's import directory; each DLL's
 * names (OriginalFirstThunk) and addresses (FirstThunk) run in step. */
int ReplaceImport(void* module, const char* function, void* replacement) {
  BYTE* base = module;
  IMAGE_NT_HEADERS* headers = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
  IMAGE_DATA_DIRECTORY directory =
      headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  IMAGE_IMPORT_DESCRIPTOR* dll = (IMAGE_IMPORT_DESCRIPTOR*)(base + directory.VirtualAddress);
  for (; directory.Size != 0 && dll->Name != 0; ++dll) {
    IMAGE_THUNK_DATA* names = (IMAGE_THUNK_DATA*)(base + dll->OriginalFirstThunk);
    IMAGE_THUNK_DATA* addresses = (IMAGE_THUNK_DATA*)(base + dll->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      IMAGE_IMPORT_BY_NAME* name = (IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData);
      if (strcmp((const char*)name->Name, function) != 0) continue;
      DWORD was;
      VirtualProtect(&addresses->u1.Function, sizeof addresses->u1.Function, PAGE_READWRITE, &was);
      addresses->u1.Function = (DWORD_PTR)replacement;
      VirtualProtect(&addresses->u1.Function, sizeof addresses->u1.Function, was, &was);
      return 1;
    }
  }
  return 0;
}
