#include <stdio.h>

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  setbuf(stdout, NULL);
  return 0;
}
