// Numbered tasks run on a few native threads, the calling one among them.
#pragma once

#include <cstddef>
#include <functional>

namespace tessarin::parallel {

// The machine's cores, at least 1.
std::size_t core_count();

// Calls task(i) once for every i in [0, count) on up to `threads` threads
// (the calling thread is one of them) and returns when every call has
// returned. Threads take the next index as they free up, so the tasks
// start in index order. A task must not throw. When no further thread can
// be started, the threads that could run the rest.
void for_each_index(std::size_t count, std::size_t threads,
                    const std::function<void(std::size_t)>& task);

}  // namespace tessarin::parallel
