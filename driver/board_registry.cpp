#include "board_registry.h"

#include <algorithm>
#include <cstdint>
#include <condition_variable>
#include <pthread.h>
#include <unistd.h>
#include <vector>

namespace {

// Held only briefly. A fork takes it first, so a child never starts with it
// held by a thread that did not come along.
std::mutex registry_lock;

// Never destroyed: a child forked while a thread waited in ab_close holds a
// copy with a waiter that will never leave, and destroying it would wait for
// that waiter for ever.
std::condition_variable &released = *new std::condition_variable;

void lock_for_fork()
{
    registry_lock.lock();
}

void unlock_after_fork()
{
    registry_lock.unlock();
}

void watch_forks()
{
    static const bool watched = pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork) == 0;
    (void)watched;
}

// The handles, by board: a number counted up from the first, in steps that
// keep it aligned like an address (a program may print or compare it).
struct registered_board {
    uintptr_t handle;
    ab_board *board;
};
// Never destroyed either: boards may still be closed by exit handlers.
std::vector<registered_board> &boards = *new std::vector<registered_board>;
constexpr uintptr_t first_handle = 0x1000;
constexpr uintptr_t handle_step = 0x10;
uintptr_t next_handle = first_handle;

std::vector<registered_board>::iterator find_handle(const ab_board *handle)
{
    const auto value = reinterpret_cast<uintptr_t>(handle);
    return std::find_if(boards.begin(), boards.end(), [value](const registered_board &entry) { return entry.handle == value; });
}

}  // namespace

ab_board *register_board(ab_board *board)
{
    watch_forks();
    std::lock_guard<std::mutex> lock(registry_lock);
    uintptr_t handle;
    do {
        handle = next_handle;
        next_handle = next_handle > UINTPTR_MAX - handle_step ? first_handle : next_handle + handle_step;
    } while (find_handle(reinterpret_cast<const ab_board *>(handle)) != boards.end());
    boards.push_back({handle, board});
    return reinterpret_cast<ab_board *>(handle);
}

ab_board *unregister_board(const ab_board *handle)
{
    std::unique_lock<std::mutex> lock(registry_lock);
    const auto found = find_handle(handle);
    if (found == boards.end())
        return nullptr;
    ab_board *board = found->board;
    boards.erase(found);
    board->closing = true;
    return board;
}

void wait_until_unused(ab_board *board)
{
    std::unique_lock<std::mutex> lock(registry_lock);
    if (board->owner == getpid())
        released.wait(lock, [board] { return board->users == 0; });
}

board_use::board_use(const ab_board *handle)
{
    if (handle == nullptr)
        return;
    std::lock_guard<std::mutex> lock(registry_lock);
    const auto found = find_handle(handle);
    if (found == boards.end() || found->board->closing)
        return;
    board_ = found->board;
    ++board_->users;
}

board_use::~board_use()
{
    if (board_ == nullptr)
        return;
    std::lock_guard<std::mutex> lock(registry_lock);
    if (--board_->users == 0 && board_->closing)
        released.notify_all();
}

bool board_use::ours() const
{
    return board_ != nullptr && board_->owner == getpid();
}
