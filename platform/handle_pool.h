#ifndef KORU_PLATFORM_HANDLE_POOL_H_
#define KORU_PLATFORM_HANDLE_POOL_H_

#include <vector>

namespace koru {

// The one pool of small positive numbers that names open TCP channels and open local files.
class HandlePool {
 public:
  // The lowest number (1 upward) not in use; it stays free until claimed.
  int Lowest() const;
  // Marks `number` as in use; false when it is below 1 or already in use.
  bool Claim(int number);
  void Release(int number);
  bool InUse(int number) const;

 private:
  std::vector<bool> used_;  // index = number
};

}  // namespace koru

#endif  // KORU_PLATFORM_HANDLE_POOL_H_
