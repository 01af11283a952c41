#include "board_registry.h"

#include <algorithm>
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

// Never destroyed either: boards may still be closed by exit handlers.
std::vector<ab_board *> &boards = *new std::vector<ab_board *>;

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

bool registered(const ab_board *board)
{
    return std::find(boards.begin(), boards.end(), board) != boards.end();
}

}  // namespace

void register_board(ab_board *board)
{
    watch_forks();
    std::lock_guard<std::mutex> lock(registry_lock);
    boards.push_back(board);
}

ab_board *unregister_board(ab_board *board)
{
    std::unique_lock<std::mutex> lock(registry_lock);
    const auto found = std::find(boards.begin(), boards.end(), board);
    if (found == boards.end())
        return nullptr;
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

board_use::board_use(const ab_board *board)
{
    if (board == nullptr)
        return;
    std::lock_guard<std::mutex> lock(registry_lock);
    if (!registered(board) || board->closing)
        return;
    board_ = const_cast<ab_board *>(board);
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
