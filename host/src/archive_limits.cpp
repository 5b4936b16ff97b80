#include <mp4host/archive_limits.h>

namespace mp4host {

ArchiveBudget::ArchiveBudget(const ArchiveLimits& limits)
    : m_limits(limits),
      m_deadline(std::chrono::steady_clock::now() + std::chrono::seconds(limits.maxSeconds)) {}

bool ArchiveBudget::fail(std::string reason) {
  if (m_exceeded.empty()) m_exceeded = std::move(reason);
  return false;
}

bool ArchiveBudget::countEntry() {
  if (!ok()) return false;
  if (++m_entries > m_limits.maxEntries) {
    return fail("more than " + std::to_string(m_limits.maxEntries) +
                " entries (the limit); the rest is not read");
  }
  return true;
}

bool ArchiveBudget::chargeExpanded(int64_t bytes) {
  if (!ok()) return false;
  m_expanded += bytes;
  if (m_expanded > m_limits.maxArchiveBytes) {
    return fail("more than " + std::to_string(m_limits.maxArchiveBytes) +
                " bytes decompressed (the limit); the rest is not read");
  }
  if (m_expanded > m_limits.ratioFloor && m_expanded / m_limits.maxRatio > m_input) {
    return fail("decompresses to more than " + std::to_string(m_limits.maxRatio) +
                " times its size (a bomb?); the rest is not read");
  }
  return inTime();
}

bool ArchiveBudget::inTime() {
  if (!ok()) return false;
  if (std::chrono::steady_clock::now() > m_deadline) {
    return fail("took more than " + std::to_string(m_limits.maxSeconds) +
                " seconds (the limit); the rest is not read");
  }
  return true;
}

bool ArchiveBudget::takeTemp(int64_t bytes) {
  if (m_temp + bytes > m_limits.maxTempBytes) return false;
  m_temp += bytes;
  return true;
}

}  // namespace mp4host
