// The programs' entry point. It hands the arguments, in the characters the
// command line holds them in, to the program's own program_main: Windows
// gives them whole in UTF-16 only through wmain.
#include "codepage/platform.hpp"

#ifdef _WIN32
int wmain(int argc, wchar_t** argv)
#else
int main(int argc, char** argv)
#endif
{
    return codepage::program_main(codepage::arguments_of(argc, argv));
}
