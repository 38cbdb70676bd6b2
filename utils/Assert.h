#pragma once


// A check for a programming error (a lock or thread that cannot be created, a thread
// started twice, a timer interval below 10 ms, a null array): it stops the program like a
// failed assert() in every build type, NDEBUG or not, because going on would divide by
// zero, dereference null or run two threads on one object. text is the message, so that
// it reads the same whatever formatting the expression gets; the file and the function
// are named as assert() names them. The test costs one predicted branch.
#ifdef __FILE_NAME__
#define UTILS_ASSERT_FILE __FILE_NAME__
#else
#define UTILS_ASSERT_FILE __FILE__
#endif

#define UTILS_ASSERT(condition, text)                  \
    (__builtin_expect(static_cast<bool>(condition), 1) \
         ? static_cast<void>(0)                        \
         : ::utils::assertion_failed(text, UTILS_ASSERT_FILE, __LINE__, __PRETTY_FUNCTION__))

namespace utils {

// Prints "<program>: <file>:<line>: <function>: Assertion `<text>' failed." on stderr,
// as assert() does, and aborts.
[[noreturn]] void assertion_failed(const char* text, const char* file, unsigned line, const char* function);

}  // namespace utils
