// The members of std::string that the library's headers leave to the
// compiled library (declared there as an extern template), compiled here
// with the program's own flags. The linker keeps only those used.
#include <string>

template class std::basic_string<char>;
