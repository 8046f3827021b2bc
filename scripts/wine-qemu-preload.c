/* Preloaded into the i386 Wine loader when it runs under qemu user-mode
 * emulation (the emulated route of scripts/wine.sh). It mends two places
 * where qemu-i386 differs from a kernel running i386 code, both of which
 * Wine depends on. Built without C library headers, so that no multilib
 * packages are needed:
 *   gcc -m32 -shared -nostdlib -fPIC -o libwine-qemu-preload.so wine-qemu-preload.c /lib/i386-linux-gnu/libc.so.6
 * The structure layouts below are the i386 Linux ones.
 */
typedef unsigned int size_t;

#define MAP_FAILED ((void *)-1)
#define MAP_FIXED_NOREPLACE 0x100000
#define EEXIST 17
#define RTLD_NEXT ((void *)-1)
#define SIGSEGV 11
#define SA_SIGINFO 4
#define SEGV_MAPERR 1
#define SEGV_ACCERR 2
#define TRAP_PAGE_FAULT 14

extern void *dlsym(void *handle, const char *name);
extern int munmap(void *addr, size_t length);
extern int *__errno_location(void);

/* ---- MAP_FIXED_NOREPLACE ---------------------------------------------------
 * qemu ignores the flag and treats the address as a hint, so every
 * reservation Wine makes at start-up lands somewhere else, and Wine falls
 * back to probing its address space piece by piece: some 130,000 slow
 * mmap/munmap calls, about 50 s per process. Honour the flag as the kernel
 * does: map without it, and when the mapping did not land where it was asked
 * to, undo it and fail with EEXIST. */
typedef void *(*mmap_fn)(void *, size_t, int, int, int, long);
typedef void *(*mmap64_fn)(void *, size_t, int, int, int, long long);

static void *placed_or_refused(void *wanted, void *got, size_t length)
{
    if (got != MAP_FAILED && got != wanted) {
        munmap(got, length);
        *__errno_location() = EEXIST;
        return MAP_FAILED;
    }
    return got;
}

void *mmap(void *addr, size_t length, int prot, int flags, int fd, long offset)
{
    static mmap_fn real;
    if (!real) real = (mmap_fn)dlsym(RTLD_NEXT, "mmap");
    if (!(flags & MAP_FIXED_NOREPLACE)) return real(addr, length, prot, flags, fd, offset);
    return placed_or_refused(addr, real(addr, length, prot, flags & ~MAP_FIXED_NOREPLACE, fd, offset), length);
}

void *mmap64(void *addr, size_t length, int prot, int flags, int fd, long long offset)
{
    static mmap64_fn real;
    if (!real) real = (mmap64_fn)dlsym(RTLD_NEXT, "mmap64");
    if (!(flags & MAP_FIXED_NOREPLACE)) return real(addr, length, prot, flags, fd, offset);
    return placed_or_refused(addr, real(addr, length, prot, flags & ~MAP_FIXED_NOREPLACE, fd, offset), length);
}

/* ---- The trap number of a page fault ----------------------------------------
 * Wine's i386 SIGSEGV handler decides what happened from the trap number the
 * kernel stores in the signal context: 14 (page fault) becomes an access
 * violation (C0000005) and lets Wine handle guard pages, stack growth and
 * write watches. qemu delivers a guest page fault with the trap number -1,
 * which Wine reports as an illegal instruction (C000001D), so access
 * violations cannot be caught and guard pages never fire. Wine's handler is
 * wrapped: a SIGSEGV for an address that is unmapped or not accessible
 * (si_code SEGV_MAPERR or SEGV_ACCERR) with trap number -1 gets 14. qemu
 * fills the error code (write bit, present bit) as the kernel does. */
typedef void (*sigaction_handler)(int, void *, void *);

struct i386_sigaction {
    sigaction_handler handler; /* sa_handler or sa_sigaction */
    unsigned long mask[32];    /* sa_mask: 1024 bits */
    int flags;                 /* sa_flags */
    void (*restorer)(void);    /* sa_restorer */
};

typedef int (*sigaction_fn)(int, const struct i386_sigaction *, struct i386_sigaction *);

#define SIGINFO_CODE 2     /* si_code: int index into siginfo_t */
#define UCONTEXT_GREGS 5   /* uc_mcontext.gregs: long index into ucontext_t */
#define GREG_TRAPNO 12     /* REG_TRAPNO */

static sigaction_handler wine_segv_handler;

static void segv_with_trap_number(int sig, void *info, void *context)
{
    int code = ((int *)info)[SIGINFO_CODE];
    unsigned long *gregs = (unsigned long *)context + UCONTEXT_GREGS;
    if (gregs[GREG_TRAPNO] == 0xffffffffUL && (code == SEGV_MAPERR || code == SEGV_ACCERR))
        gregs[GREG_TRAPNO] = TRAP_PAGE_FAULT;
    wine_segv_handler(sig, info, context);
}

int sigaction(int sig, const struct i386_sigaction *act, struct i386_sigaction *old)
{
    static sigaction_fn real;
    struct i386_sigaction wrapped;
    sigaction_handler previous = wine_segv_handler;
    int result;

    if (!real) real = (sigaction_fn)dlsym(RTLD_NEXT, "sigaction");
    if (sig != SIGSEGV) return real(sig, act, old);
    if (act && (act->flags & SA_SIGINFO) && act->handler) {
        wrapped = *act;
        wrapped.handler = segv_with_trap_number;
        wine_segv_handler = act->handler;
        act = &wrapped;
    }
    result = real(sig, act, old);
    if (old && old->handler == segv_with_trap_number) old->handler = previous;
    return result;
}
