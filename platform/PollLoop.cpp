#include "PollLoop.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>
#include <thread>
#include <utility>

namespace {

constexpr int MostEventsPerWake = 256;

}  // namespace

TPollLoop::TPollLoop(std::chrono::microseconds PerWatched, std::chrono::microseconds Most, TTask Read)
    : CoalescePerWatched(PerWatched), MostCoalesce(Most), AllRead(std::move(Read)), Epoll(::epoll_create1(EPOLL_CLOEXEC)) {
  if (Epoll < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
  if (!Watch(Posted.Descriptor(), [this] { RunPosted(); })) {
    ::close(Epoll);
    throw std::system_error(errno, std::generic_category(), "epoll_ctl");
  }
}

TPollLoop::~TPollLoop() {
  ::close(Epoll);
}

bool TPollLoop::Watch(int Fd, TTask Readable) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = Fd;
  if (::epoll_ctl(Epoll, EPOLL_CTL_ADD, Fd, &event) != 0) return false;
  Watched[Fd] = std::move(Readable);
  return true;
}

void TPollLoop::Unwatch(int Fd) {
  if (Watched.erase(Fd) == 0) return;
  (void)::epoll_ctl(Epoll, EPOLL_CTL_DEL, Fd, nullptr);
}

TPollLoop::TTimer TPollLoop::At(TClock::time_point When, TTask Due) {
  const TTimer timer{When, ++LastTimerId};
  Timers.emplace(std::pair{When, timer.Id}, std::move(Due));
  return timer;
}

void TPollLoop::Cancel(TTimer& Timer) {
  if (Timer.Id != 0) Timers.erase({Timer.When, Timer.Id});
  Timer = {};
}

void TPollLoop::Post(TTask Task) {
  {
    const std::lock_guard guard(Lock);
    Posts.push_back(std::move(Task));
  }
  Posted.Give();
}

void TPollLoop::Quit() {
  Post([this] { Quitting = true; });
}

// Rounded up: a wait that ends a moment early would only wake the loop again for nothing.
int TPollLoop::WaitMs() const {
  if (Timers.empty()) return -1;
  const auto left = Timers.begin()->first.first - TClock::now();
  if (left <= TClock::duration::zero()) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void TPollLoop::Run() {
  std::array<epoll_event, MostEventsPerWake> events{};
  Quitting = false;
  while (!Quitting) {
    const int ready = ::epoll_wait(Epoll, events.data(), MostEventsPerWake, WaitMs());
    bool lineReady = false;
    for (int i = 0; i < ready; ++i) {
      const int fd = events[static_cast<std::size_t>(i)].data.fd;
      lineReady = lineReady || fd != Posted.Descriptor();
      // A task run before may have stopped watching this one, or closed it.
      const auto watched = Watched.find(fd);
      if (watched == Watched.end()) continue;
      const TTask task = watched->second;
      task();
    }
    RunDue();
    if (lineReady && AllRead) AllRead();
    if (lineReady && !Quitting) {
      const auto lines = static_cast<std::chrono::microseconds::rep>(Watched.size() - 1);  // the posts' own is none
      std::this_thread::sleep_for(std::min(MostCoalesce, CoalescePerWatched * lines));
    }
  }
}

void TPollLoop::RunPosted() {
  Posted.Take();
  std::vector<TTask> posts;
  {
    const std::lock_guard guard(Lock);
    posts.swap(Posts);
  }
  for (const TTask& task : posts) task();
}

void TPollLoop::RunDue() {
  const auto now = TClock::now();
  while (!Timers.empty() && Timers.begin()->first.first <= now) {
    const TTask task = std::move(Timers.begin()->second);
    Timers.erase(Timers.begin());
    task();
  }
}
