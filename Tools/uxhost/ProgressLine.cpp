#include "ProgressLine.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "Report.h"

namespace {

constexpr std::chrono::milliseconds kDelay(1000);
constexpr int kBarWidth = 20;
// "uxhost: ", the bar in its brackets, the share and a margin.
constexpr size_t kFixedWidth = 8 + 1 + kBarWidth + 2 + 5 + 2;
constexpr size_t kAssumedTerminalWidth = 80;

size_t TerminalWidth()
{
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return kAssumedTerminalWidth;
}

// A line longer than the terminal would wrap, and could no longer be redrawn in
// place: a long name loses its beginning.
std::string Fitted(const std::string& what)
{
    const size_t room = TerminalWidth() > kFixedWidth + 4 ? TerminalWidth() - kFixedWidth : 4;
    return what.size() <= room ? what : "..." + what.substr(what.size() - (room - 3));
}

}  // namespace

std::atomic<ProgressLine*> ProgressLine::sCurrent{nullptr};

ProgressLine::ProgressLine(std::string what)
    : mEnabled(isatty(STDERR_FILENO) == 1 && !Quiet()),
      mStart(std::chrono::steady_clock::now()),
      mPrevious(sCurrent.exchange(this))
{
    if (mEnabled)
        mWhat = Fitted(what);
}

ProgressLine::~ProgressLine()
{
    sCurrent.store(mPrevious);
    if (mShown) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
}

void ProgressLine::Update(uint64_t done, uint64_t total)
{
    if (!mEnabled || done < mNextChange || total == 0)
        return;
    const uint64_t permille = std::min<uint64_t>(done, total) * 1000 / total;
    mNextChange = ((permille + 1) * total + 999) / 1000;  // where the next permille begins
    const int percent = static_cast<int>(permille / 10);
    if (percent == mShownPercent || std::chrono::steady_clock::now() - mStart < kDelay)
        return;
    const int filled = percent * kBarWidth / 100;
    std::fprintf(stderr, "\ruxhost: %s [%s%s] %3d%%", mWhat.c_str(), std::string(filled, '#').c_str(),
                 std::string(kBarWidth - filled, ' ').c_str(), percent);
    std::fflush(stderr);
    mShown = true;
    mShownPercent = percent;
}
