// What the compiler and the C++ library headers ask of the C++ run-time
// library, for a program built without exceptions and without RTTI: the
// allocation functions, the error paths of the containers, function-local
// statics and pure virtual calls.
//
// Where the full library would throw (out of memory, a string or vector
// asked to grow beyond its maximum), the program could not catch it and
// would end through abort(); these end it that way directly.
#include <cstddef>
#include <cstdlib>
#include <new>

void* operator new(std::size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) std::abort();
    return p;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace std {
void __throw_bad_exception() { std::abort(); }
void __throw_bad_alloc() { std::abort(); }
void __throw_bad_array_new_length() { std::abort(); }
void __throw_bad_cast() { std::abort(); }
void __throw_bad_typeid() { std::abort(); }
void __throw_logic_error(const char*) { std::abort(); }
void __throw_domain_error(const char*) { std::abort(); }
void __throw_invalid_argument(const char*) { std::abort(); }
void __throw_length_error(const char*) { std::abort(); }
void __throw_out_of_range(const char*) { std::abort(); }
void __throw_out_of_range_fmt(const char*, ...) { std::abort(); }
void __throw_runtime_error(const char*) { std::abort(); }
void __throw_range_error(const char*) { std::abort(); }
void __throw_overflow_error(const char*) { std::abort(); }
void __throw_underflow_error(const char*) { std::abort(); }
void __throw_bad_function_call() { std::abort(); }
}  // namespace std

extern "C" {

// Function-local statics. The program has one thread, so the guard's first
// byte alone says whether the object has been constructed.
int __cxa_guard_acquire(unsigned long long* guard) { return *reinterpret_cast<unsigned char*>(guard) == 0; }
void __cxa_guard_release(unsigned long long* guard) { *reinterpret_cast<unsigned char*>(guard) = 1; }
void __cxa_guard_abort(unsigned long long*) {}

// A call through a vtable slot of a pure virtual or deleted function.
void __cxa_pure_virtual() { std::abort(); }
void __cxa_deleted_virtual() { std::abort(); }

}  // extern "C"
