#include "session/anonymous.h"

#include <chrono>
#include <random>

namespace session {

std::string MakeAnonymousPassword() {
  // Seeded from the clock once; reseeding on every call would repeat the
  // password for two calls within one clock tick.
  static std::minstd_rand generator(
      static_cast<std::minstd_rand::result_type>(
          std::chrono::system_clock::now().time_since_epoch().count()));
  std::uniform_int_distribution<int> letter(0, 19);
  std::string password(6, 'a');
  for (char& c : password) c = static_cast<char>('a' + letter(generator));
  password[2] = '@';
  return password + ".com";
}

}  // namespace session
