#include "stacksampler.h"

#include <QByteArray>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#ifdef __GLIBC__
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <sys/syscall.h>
#endif

namespace vrn::bench {

#ifdef __GLIBC__

namespace {

constexpr int kMaxSamples = 2048;
constexpr int kMaxFrames = 96;
// The handler's own frame and the kernel's return trampoline.
constexpr int kHandlerFrames = 2;

// Filled by the signal handler on whichever thread was sent the signal; read once the event is
// over and no handler is left running (`inFlight`), so no sample is ever read half written.
struct Samples
{
    void *frames[kMaxSamples][kMaxFrames];
    int depth[kMaxSamples];
    pid_t thread[kMaxSamples];
    std::atomic_int count = 0;
    std::atomic_int inFlight = 0;
    std::atomic_bool armed = false;
};
Samples g_samples;

void onSample(int)
{
    ++g_samples.inFlight; // before looking at `armed`, which end() clears before it waits
    const int saved = errno;
    if (g_samples.armed.load()) {
        const int i = g_samples.count++;
        if (i < kMaxSamples) {
            g_samples.thread[i] = pid_t(syscall(SYS_gettid));
            g_samples.depth[i] = backtrace(g_samples.frames[i], kMaxFrames);
        }
    }
    errno = saved;
    --g_samples.inFlight;
}

// The threads of this process that are running, waiting for a processor or waiting in the
// kernel, but this one and `except`: whom a blocked thread may be waiting for.
std::vector<std::pair<pid_t, QByteArray>> runnableThreads(pid_t except)
{
    std::vector<std::pair<pid_t, QByteArray>> found;
    const pid_t self = pid_t(syscall(SYS_gettid));
    DIR *tasks = opendir("/proc/self/task");
    if (!tasks)
        return found;
    while (const dirent *entry = readdir(tasks)) {
        const pid_t tid = pid_t(std::atoi(entry->d_name));
        if (tid <= 0 || tid == self || tid == except)
            continue;
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", int(tid));
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        char stat[512];
        const ssize_t got = read(fd, stat, sizeof stat - 1);
        close(fd);
        if (got <= 0)
            continue;
        stat[got] = 0;
        // "tid (name) state ...": the name may hold spaces and parentheses.
        const char *nameFrom = std::strchr(stat, '(');
        const char *nameTo = std::strrchr(stat, ')');
        if (nameFrom && nameTo && nameTo[1] == ' ' && (nameTo[2] == 'R' || nameTo[2] == 'D'))
            found.emplace_back(tid, QByteArray(nameFrom + 1, int(nameTo - nameFrom - 1)));
    }
    closedir(tasks);
    return found;
}

// Names of code addresses: the program's own functions from its full symbol table, lambdas
// and other local functions included, which the dynamic linker does not know; the libraries'
// from what they export.
class Symbols
{
public:
    Symbols()
    {
        dl_iterate_phdr(
            [](dl_phdr_info *info, size_t, void *self) {
                auto *symbols = static_cast<Symbols *>(self);
                symbols->m_base = info->dlpi_addr;
                for (int i = 0; i < info->dlpi_phnum; ++i) {
                    const ElfW(Phdr) &segment = info->dlpi_phdr[i];
                    if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X))
                        symbols->m_code.push_back(
                            {info->dlpi_addr + segment.p_vaddr,
                             info->dlpi_addr + segment.p_vaddr + segment.p_memsz});
                }
                return 1; // the program itself comes first
            },
            this);
        const int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
        struct stat st
        {};
        if (fd < 0 || fstat(fd, &st) != 0) {
            if (fd >= 0)
                close(fd);
            return;
        }
        m_length = size_t(st.st_size);
        void *mapped = mmap(nullptr, m_length, PROT_READ, MAP_PRIVATE, fd, 0);
        close(fd);
        if (mapped == MAP_FAILED)
            return;
        m_map = static_cast<const char *>(mapped);
        const auto *header = reinterpret_cast<const ElfW(Ehdr) *>(m_map);
        if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0)
            return;
        const auto *sections = reinterpret_cast<const ElfW(Shdr) *>(m_map + header->e_shoff);
        for (int s = 0; s < header->e_shnum; ++s) {
            if (sections[s].sh_type != SHT_SYMTAB)
                continue;
            const char *names = m_map + sections[sections[s].sh_link].sh_offset;
            const auto *table = reinterpret_cast<const ElfW(Sym) *>(m_map + sections[s].sh_offset);
            const size_t count = sections[s].sh_size / sizeof(ElfW(Sym));
            for (size_t i = 0; i < count; ++i) {
                if (ELF64_ST_TYPE(table[i].st_info) == STT_FUNC && table[i].st_value != 0)
                    m_functions.push_back(
                        {table[i].st_value, table[i].st_size, names + table[i].st_name});
            }
        }
        std::sort(m_functions.begin(), m_functions.end(),
                  [](const Function &a, const Function &b) { return a.start < b.start; });
    }
    ~Symbols()
    {
        if (m_map)
            munmap(const_cast<char *>(m_map), m_length);
    }

    QByteArray name(void *address) const
    {
        // A return address points past its call, perhaps into the next function.
        const uintptr_t at = reinterpret_cast<uintptr_t>(address) - 1;
        for (const auto &[from, to] : m_code) {
            if (at < from || at >= to)
                continue;
            const uintptr_t local = at - m_base;
            auto it = std::upper_bound(
                m_functions.begin(), m_functions.end(), local,
                [](uintptr_t value, const Function &f) { return value < f.start; });
            if (it != m_functions.begin() && local < (it - 1)->start + (it - 1)->size)
                return demangled((it - 1)->name);
        }
        Dl_info info{};
        if (dladdr(reinterpret_cast<void *>(at), &info) && info.dli_sname)
            return demangled(info.dli_sname);
        if (info.dli_fname) {
            const char *slash = std::strrchr(info.dli_fname, '/');
            return QByteArray(slash ? slash + 1 : info.dli_fname) + "+0x" +
                   QByteArray::number(qulonglong(at - uintptr_t(info.dli_fbase)), 16);
        }
        return "?";
    }

private:
    struct Function
    {
        uintptr_t start;
        uintptr_t size;
        const char *name;
    };

    static QByteArray demangled(const char *name)
    {
        int status = 0;
        char *plain = abi::__cxa_demangle(name, nullptr, nullptr, &status);
        QByteArray result = status == 0 && plain ? QByteArray(plain) : QByteArray(name);
        std::free(plain);
        // Qt's templates for a connected lambda name the lambda several times over.
        constexpr int kLongest = 220;
        if (result.size() > kLongest)
            result = result.left(kLongest) + "...";
        return result;
    }

    const char *m_map = nullptr;
    size_t m_length = 0;
    uintptr_t m_base = 0;
    std::vector<std::pair<uintptr_t, uintptr_t>> m_code;
    std::vector<Function> m_functions;
};

} // namespace

struct StackSampler::Private
{
    int intervalMs;
    pthread_t target = pthread_self();
    pid_t targetId = pid_t(syscall(SYS_gettid));
    int signal = SIGRTMIN + 5;
    std::mutex lock;
    std::condition_variable wake;
    bool sampling = false;
    bool quit = false;
    std::thread thread;
    // The names of the other threads sampled during the event.
    std::map<pid_t, QByteArray> others;
    // The stack at begin(): the part every sample shares with it is left out of the report.
    void *outer[kMaxFrames];
    int outerDepth = 0;
    Symbols symbols;

    void loop()
    {
        std::unique_lock held(lock);
        while (!quit) {
            wake.wait(held, [this] { return quit || sampling; });
            // A sample every interval for as long as the event runs, of the target and of
            // every other thread busy then.
            while (!quit && sampling) {
                if (wake.wait_for(held, std::chrono::milliseconds(intervalMs),
                                  [this] { return quit || !sampling; }))
                    break;
                pthread_kill(target, signal);
                for (const auto &[tid, name] : runnableThreads(targetId)) {
                    others[tid] = name;
                    syscall(SYS_tgkill, getpid(), tid, signal);
                }
            }
        }
    }
};

StackSampler::StackSampler(int intervalMs)
    : d(new Private)
{
    d->intervalMs = intervalMs;
    struct sigaction action
    {};
    action.sa_handler = onSample;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(d->signal, &action, nullptr);
    // The first backtrace loads the unwinder, which a signal handler must not be the one to do.
    void *warm[4];
    backtrace(warm, 4);
    d->thread = std::thread([this] { d->loop(); });
}

StackSampler::~StackSampler()
{
    {
        const std::lock_guard held(d->lock);
        d->quit = true;
    }
    d->wake.notify_all();
    d->thread.join();
    g_samples.armed = false;
    delete d;
}

void StackSampler::begin()
{
    d->outerDepth = backtrace(d->outer, kMaxFrames);
    {
        const std::lock_guard held(d->lock);
        d->others.clear();
        d->sampling = true;
    }
    g_samples.count = 0;
    g_samples.armed = true;
    d->wake.notify_all();
}

void StackSampler::end()
{
    g_samples.armed = false;
    {
        const std::lock_guard held(d->lock);
        d->sampling = false;
    }
    d->wake.notify_all();
    // A handler already past its look at `armed` on another thread finishes its sample first.
    while (g_samples.inFlight.load() > 0)
        std::this_thread::yield();
}

QString StackSampler::report(double minShare) const
{
    // Calls merged by name: a function called from several places in its caller, or itself,
    // counts once.
    struct Node
    {
        QByteArray name;
        int count;
        std::vector<int> children;
    };
    std::map<pid_t, std::vector<Node>> trees;
    std::map<void *, QByteArray> names;
    const auto name = [&](void *address) -> const QByteArray & {
        auto named = names.try_emplace(address);
        if (named.second)
            named.first->second = d->symbols.name(address);
        return named.first->second;
    };
    const int samples = std::min(g_samples.count.load(), kMaxSamples);
    for (int s = 0; s < samples; ++s) {
        void *const *frames = g_samples.frames[s] + kHandlerFrames;
        int depth = g_samples.depth[s] - kHandlerFrames;
        const bool target = g_samples.thread[s] == d->targetId;
        // The callers the event shares with begin()'s stack are not the event's.
        for (int k = 1; target && depth > 0 && k <= d->outerDepth &&
                        frames[depth - 1] == d->outer[d->outerDepth - k];
             ++k)
            --depth;
        // Another thread's start and its thread pool are left out down to the first of our own
        // calls.
        for (int f = depth - 1; !target && f >= 0; --f) {
            if (name(frames[f]).contains("vrn::")) {
                depth = f + 1;
                break;
            }
        }
        std::vector<Node> &tree = trees[g_samples.thread[s]];
        if (tree.empty())
            tree.push_back({{}, 0, {}});
        int node = 0;
        ++tree[0].count;
        for (int f = depth - 1; f >= 0; --f) {
            const QByteArray &called = name(frames[f]);
            int next = -1;
            for (int child : tree[node].children) {
                if (tree[child].name == called) {
                    next = child;
                    break;
                }
            }
            if (next < 0) {
                next = int(tree.size());
                tree.push_back({called, 0, {}});
                tree[node].children.push_back(next);
            }
            ++tree[next].count;
            node = next;
        }
    }
    // Shares count against the samples of the sampled thread: another thread seen busy in a
    // tenth of them is worth a look.
    const int base = trees.count(d->targetId) ? trees[d->targetId][0].count : samples;
    const int least = std::max(2, int(minShare * base));
    QByteArray out;
    const auto print = [&](const std::vector<Node> &tree) {
        const auto down = [&](const auto &self, int node, int level) -> void {
            std::vector<int> children = tree[size_t(node)].children;
            std::sort(children.begin(), children.end(),
                      [&](int a, int b) { return tree[size_t(a)].count > tree[size_t(b)].count; });
            for (int child : children) {
                const Node &at = tree[size_t(child)];
                if (at.count < least)
                    continue;
                out += QByteArray(std::min(level, 40), ' ') + QByteArray::number(at.count) + ' ' +
                       at.name + '\n';
                self(self, child, level + 1);
            }
        };
        down(down, 0, 4);
    };
    if (trees.count(d->targetId))
        print(trees[d->targetId]);
    const std::lock_guard held(d->lock);
    for (const auto &[tid, tree] : trees) {
        if (tid == d->targetId || tree[0].count < least)
            continue;
        out += "   meanwhile on thread " + QByteArray::number(tid) + " (" + d->others[tid] + "), " +
               QByteArray::number(tree[0].count) + " samples:\n";
        print(tree);
    }
    return QString::fromUtf8(out);
}

#else

struct StackSampler::Private
{};

StackSampler::StackSampler(int)
    : d(nullptr)
{}
StackSampler::~StackSampler() = default;
void StackSampler::begin() {}
void StackSampler::end() {}
QString StackSampler::report(double) const
{
    return {};
}

#endif

} // namespace vrn::bench
