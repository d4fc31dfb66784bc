// tarnix-cloud-emulator: a local cloud for tests, demos and development.
#include <cstdio>

int main() {
  std::fputs("tarnix-cloud-emulator: not built yet\n", stderr);
  return 1;
}
