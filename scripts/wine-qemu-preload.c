/* Preloaded into the i386 Wine loader when it runs under qemu user-mode
 * emulation (the emulated route of scripts/wine.sh). It mends three places
 * where qemu-i386 differs from a kernel running i386 code, all of which
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
#define ENOSYS 38

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

/* ---- Thread-local segments ------------------------------------------------
 * i386 Linux keeps the TLS entries of the GDT per thread: glibc's %gs and, by
 * default, Wine's %fs (the TEB) select one entry that holds each thread's own
 * base. qemu keeps one GDT for the whole process, so such an entry holds the
 * base of whichever thread set it last, and every reload of the segment
 * register (Wine reloads %fs and %gs in its signal handlers and when it
 * returns from a system call with a full context; sigreturn reloads both)
 * hands the thread another thread's TEB and TLS: the first exception of a
 * process with two threads is dispatched on the wrong thread and ends as
 * unhandled, or Wine's server pipe breaks. LDT entries are per process on
 * Linux as well, so a thread that selects an LDT entry of its own keeps its
 * base across reloads under qemu too:
 * - %fs: Wine asks for a TLS entry of the GDT once (set_thread_area with
 *   entry -1) and, when that fails, gives every thread an LDT entry of its
 *   own. The request is refused here.
 * - %gs: glibc's entry is set when a thread is made; every thread moves to an
 *   LDT entry of its own with the same base before it runs anything else
 *   (the main thread in the constructor below, the others in their start
 *   routine), taken from the top of the LDT, far from the low entries Wine
 *   hands out. */
#define SYS_modify_ldt 123
#define SYS_set_thread_area 243
#define SYS_get_thread_area 244
#define GLIBC_TLS_ENTRY 6
#define LDT_ENTRIES 8192
#define LDT_WRITE 0x11

struct user_desc {
    unsigned int entry_number;
    unsigned int base_addr;
    unsigned int limit;
    unsigned int flags; /* seg_32bit, contents, read_exec_only, limit_in_pages, ... */
};

typedef long (*syscall_fn)(long, long, long, long, long, long, long);
typedef int (*pthread_create_fn)(void *, const void *, void *(*)(void *), void *);

static syscall_fn real_syscall(void)
{
    static syscall_fn real;
    if (!real) real = (syscall_fn)dlsym(RTLD_NEXT, "syscall");
    return real;
}

long syscall(long number, long a1, long a2, long a3, long a4, long a5, long a6)
{
    if (number == SYS_set_thread_area && ((struct user_desc *)a1)->entry_number == 0xffffffffU) {
        *__errno_location() = ENOSYS;
        return -1;
    }
    return real_syscall()(number, a1, a2, a3, a4, a5, a6);
}

static int next_ldt_entry = LDT_ENTRIES;

static void move_gs_to_own_ldt_entry(void)
{
    struct user_desc desc;
    unsigned base, selector;
    int entry = __atomic_sub_fetch(&next_ldt_entry, 1, __ATOMIC_SEQ_CST);

    __asm__ volatile("movl %%gs:0, %0" : "=r"(base)); /* glibc's thread pointer points to itself */
    desc.entry_number = GLIBC_TLS_ENTRY;
    if (real_syscall()(SYS_get_thread_area, (long)&desc, 0, 0, 0, 0, 0) != 0) return;
    desc.entry_number = (unsigned)entry;
    desc.base_addr = base;
    if (real_syscall()(SYS_modify_ldt, LDT_WRITE, (long)&desc, sizeof desc, 0, 0, 0) != 0) return;
    selector = ((unsigned)entry << 3) | 7; /* LDT, ring 3 */
    __asm__ volatile("movw %w0, %%gs" : : "r"(selector));
}

__attribute__((constructor)) static void move_main_thread_gs(void)
{
    move_gs_to_own_ldt_entry();
}

struct thread_start {
    void *(*routine)(void *);
    void *arg;
};

static void *start_with_own_gs(void *p)
{
    struct thread_start start = *(struct thread_start *)p;
    static void (*real_free)(void *);
    if (!real_free) real_free = (void (*)(void *))dlsym(RTLD_NEXT, "free");
    real_free(p);
    move_gs_to_own_ldt_entry();
    return start.routine(start.arg);
}

static unsigned current_gs(void)
{
    unsigned selector;
    __asm__ volatile("movw %%gs, %w0" : "=r"(selector));
    return selector & 0xffff;
}

/* glibc gives a new thread the TLS entry that the creating thread's %gs
 * selects, so the creating thread selects glibc's entry again for the
 * moment, with its own base written back into it first. */
static void return_gs_to_glibc_entry(void)
{
    struct user_desc desc;
    unsigned base, selector = (GLIBC_TLS_ENTRY << 3) | 3; /* GDT, ring 3 */

    __asm__ volatile("movl %%gs:0, %0" : "=r"(base));
    desc.entry_number = GLIBC_TLS_ENTRY;
    if (real_syscall()(SYS_get_thread_area, (long)&desc, 0, 0, 0, 0, 0) != 0) return;
    desc.base_addr = base;
    if (real_syscall()(SYS_set_thread_area, (long)&desc, 0, 0, 0, 0, 0) != 0) return;
    __asm__ volatile("movw %w0, %%gs" : : "r"(selector));
}

int pthread_create(void *thread, const void *attr, void *(*routine)(void *), void *arg)
{
    static pthread_create_fn real;
    static void *(*real_malloc)(size_t);
    struct thread_start *start;
    unsigned own_gs = current_gs();
    int result;

    if (!real) real = (pthread_create_fn)dlsym(RTLD_NEXT, "pthread_create");
    if (!real_malloc) real_malloc = (void *(*)(size_t))dlsym(RTLD_NEXT, "malloc");
    start = real_malloc(sizeof *start);
    if (!start) return 11; /* EAGAIN */
    start->routine = routine;
    start->arg = arg;
    if (own_gs & 4) return_gs_to_glibc_entry();
    result = real(thread, attr, start_with_own_gs, start);
    if (own_gs & 4) __asm__ volatile("movw %w0, %%gs" : : "r"(own_gs));
    if (result != 0) {
        void (*real_free)(void *) = (void (*)(void *))dlsym(RTLD_NEXT, "free");
        real_free(start);
    }
    return result;
}

/* ---- The trap number of a page fault --------------------------------------
 * Wine's SIGSEGV handler decides what happened from the trap number the
 * kernel stores in the signal context: 14 (page fault) becomes an access
 * violation (C0000005) and lets Wine handle guard pages and write watches.
 * qemu delivers a guest page fault with trap number -1, which Wine reports
 * as an illegal instruction (C000001D). Wine's handler is wrapped: a SIGSEGV
 * for an address that is unmapped or not accessible (SEGV_MAPERR,
 * SEGV_ACCERR) with trap number -1 gets 14; qemu fills the error code (write
 * and present bits) as the kernel does. */
#define SIGSEGV 11
#define SA_SIGINFO 4
#define SEGV_MAPERR 1
#define SEGV_ACCERR 2
#define TRAP_PAGE_FAULT 14
#define SIGINFO_CODE 2   /* si_code: int index into siginfo_t */
#define UCONTEXT_GREGS 5 /* uc_mcontext.gregs: long index into ucontext_t */
#define GREG_TRAPNO 12   /* REG_TRAPNO */

typedef void (*sigaction_handler)(int, void *, void *);

struct i386_sigaction {
    sigaction_handler handler; /* sa_handler or sa_sigaction */
    unsigned long mask[32];    /* sa_mask: 1024 bits */
    int flags;                 /* sa_flags */
    void (*restorer)(void);    /* sa_restorer */
};

typedef int (*sigaction_fn)(int, const struct i386_sigaction *, struct i386_sigaction *);

static sigaction_handler wine_segv_handler;

static void segv_with_trap_number(int sig, void *info, void *context)
{
    unsigned long *gregs = (unsigned long *)context + UCONTEXT_GREGS;
    int code = ((int *)info)[SIGINFO_CODE];
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
    if (act && (act->flags & SA_SIGINFO) && (unsigned long)act->handler > 1) { /* not SIG_DFL, SIG_IGN */
        wrapped = *act;
        wrapped.handler = segv_with_trap_number;
        wine_segv_handler = act->handler;
        act = &wrapped;
    }
    result = real(sig, act, old);
    if (old && old->handler == segv_with_trap_number) old->handler = previous;
    return result;
}
