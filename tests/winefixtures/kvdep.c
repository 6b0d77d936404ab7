/* The dependency that the import test's folder lacks. */
__declspec(dllexport) int kvdep(void)
{
    return 7;
}
