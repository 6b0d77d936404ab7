/* A COM library for the registration tests, built with mingw at test time.
 * KV_CLSID: the key DllRegisterServer writes. KV_FAIL: DllRegisterServer fails without writing.
 * KV_NOREGISTER: no DllRegisterServer at all. KV_IMPORT: also calls into kvdep.dll. */
#include <windows.h>

#ifdef KV_IMPORT
__declspec(dllimport) int kvdep(void);
#endif

static HINSTANCE module;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        module = instance;
    return TRUE;
}

#ifndef KV_NOREGISTER
__declspec(dllexport) HRESULT __stdcall DllRegisterServer(void)
{
#ifdef KV_FAIL
    return E_FAIL;
#else
    char path[MAX_PATH];
    HKEY key;
    DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
#ifdef KV_IMPORT
    if (kvdep() != 7)
        return E_FAIL;
#endif
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\" KV_CLSID "\\InprocServer32", 0, NULL, 0, KEY_WRITE, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return E_FAIL;
    RegSetValueExA(key, NULL, 0, REG_SZ, (const BYTE*)path, length + 1);
    RegCloseKey(key);
    return S_OK;
#endif
}
#endif

__declspec(dllexport) HRESULT __stdcall DllCanUnloadNow(void)
{
    return S_OK;
}
