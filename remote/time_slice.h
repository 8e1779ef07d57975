#pragma once

// Carrying out what waits a slice of time at a time, so that a flood never
// holds the window's thread for long: the rest waits for the next turn of
// its event loop. Each item leaves the queue before it is carried out, so a
// handler that runs a nested event loop (a modal box) leaves the next ones
// to be carried out meanwhile, at once, and none twice.

#include <chrono>
#include <cstdint>
#include <deque>
#include <utility>

namespace tambrel::remote {

// At least one item, then more until `now()` reaches `until`; true while some wait.
template <typename Item, typename CarryOut, typename Now>
bool carryOutUntil(std::deque<Item>& waiting, std::chrono::steady_clock::time_point until,
                   CarryOut carryOut, Now now) {
    do {
        if (waiting.empty()) return false;
        Item next = std::move(waiting.front());
        waiting.pop_front();
        carryOut(next);
    } while (now() < until);
    return !waiting.empty();
}

// Queues what arrived behind what waits, and answers how many were dropped
// beyond `most`. Of the palette loads only the newest waits: each reads a
// whole file, and only the last one shows.
template <typename Item, typename IsPaletteLoad>
uint64_t queueArrived(std::deque<Item>& waiting, std::deque<Item> arrived, size_t most,
                      IsPaletteLoad isPaletteLoad) {
    uint64_t dropped = 0;
    for (Item& item : arrived) {
        if (isPaletteLoad(item)) std::erase_if(waiting, isPaletteLoad);
        if (waiting.size() >= most) {
            ++dropped;
            continue;
        }
        waiting.push_back(std::move(item));
    }
    return dropped;
}

}  // namespace tambrel::remote
