// fakeoffice: stands in for soffice where only its process matters. Like the real one it starts a
// second process (soffice.bin) in its group, and both wait until they are killed.
#include <unistd.h>

int main()
{
    (void)::fork();
    for (;;)
        ::pause();
}
