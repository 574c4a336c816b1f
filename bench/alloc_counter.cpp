// Preloaded into the relay by the benchmark: counts every heap allocation
// the process makes and, when it exits, appends the count to the file named
// by KEYFERRY_ALLOC_LOG. Comparing a short run with a long one shows whether
// the relay allocates anything while relaying.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

// glibc's own allocator entry points, under the names it exports them by.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {
std::atomic<unsigned long> allocations{0};

struct report_at_exit {
    report_at_exit() = default;
    report_at_exit(const report_at_exit &) = delete;
    report_at_exit &operator=(const report_at_exit &) = delete;
    ~report_at_exit()
    {
        const char *path = std::getenv("KEYFERRY_ALLOC_LOG");
        if (path == nullptr)
            return;
        char line[32];
        int len = std::snprintf(line, sizeof line, "%lu\n", allocations.load());
        int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            ssize_t written = write(fd, line, static_cast<size_t>(len));
            (void)written;
            close(fd);
        }
    }
} reporter;
} // namespace

// The interposers take the parameter names of glibc's own declarations.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {
void *malloc(size_t __size)
{
    ++allocations;
    return __libc_malloc(__size);
}
void *calloc(size_t __nmemb, size_t __size)
{
    ++allocations;
    return __libc_calloc(__nmemb, __size);
}
void *realloc(void *__ptr, size_t __size)
{
    ++allocations;
    return __libc_realloc(__ptr, __size);
}
void *aligned_alloc(size_t __alignment, size_t __size)
{
    ++allocations;
    return __libc_memalign(__alignment, __size);
}
void *memalign(size_t __alignment, size_t __size)
{
    ++allocations;
    return __libc_memalign(__alignment, __size);
}
int posix_memalign(void **__memptr, size_t __alignment, size_t __size)
{
    ++allocations;
    *__memptr = __libc_memalign(__alignment, __size);
    return *__memptr ? 0 : 12;
}
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
