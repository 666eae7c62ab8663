#include "blocks/startup.h"

int main(int argc, char** argv) {
  return run_weft_pipe(argc, argv);
}
