#include "commands.h"
#include "hashing.h"
#include "sync_command.h"

#include <QCoreApplication>

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// A status or sync of a large folder builds lists of a hundred thousand paths, and faulting
// in their memory a page at a time cost as much as the walk itself. The heap grows in large
// steps that are handed out as huge pages where the system allows it, and one heap serves
// all threads.
void prepareHeap() {
    constexpr size_t kStep = 64 << 20;
    constexpr uintptr_t kHugePage = 2 << 20;
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_TOP_PAD, static_cast<int>(kStep));
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(kStep));
    mallopt(M_TRIM_THRESHOLD, static_cast<int>(4 * kStep));
    void *first = malloc(kStep / 2); // grows the heap by a step now, to be advised whole
    const auto start = (reinterpret_cast<uintptr_t>(first) + kHugePage - 1) & ~(kHugePage - 1);
    const auto end = reinterpret_cast<uintptr_t>(sbrk(0)) & ~(kHugePage - 1);
    if (end > start)
        madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
    free(first);
}

} // namespace

int main(int argc, char *argv[]) {
    // First of all: a sync stopped at any moment must end with its own exit code, never
    // half-way through taking its lock. Commands that are not a sync go back to the default.
    orvu::local::installInterruptHandlers();
    prepareHeap();
    orvu::local::prepareHashing();
    QCoreApplication app(argc, argv);
    int exitCode = 0;
    const auto invocation = orvu::local::parseArguments(app.arguments().mid(1), &exitCode);
    if (!invocation || invocation->command != QStringLiteral("sync") ||
        invocation->flags.contains(QStringLiteral("--dry-run")))
        orvu::local::restoreDefaultInterrupts();
    if (!invocation)
        return exitCode;
    return orvu::local::runInvocation(*invocation);
}
