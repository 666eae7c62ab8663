// Loads transports as a client would and prints, for each scheme named on the
// command line, the transport serving it, then how many plug-ins were loaded.
// transport_search_test runs it against copies of libzeb placed where a test
// wants the installation to be. "--path <search path>" passes a path to the
// loader; without it the default search applies.
#include <iostream>
#include <string>

#include "zeb/log.h"
#include "zeb/transport_loader.h"

int main(int argc, char** argv) {
  zeb::create_stdout_log("probe");
  zeb::set_log_level("probe", 0);
  int first = 1;
  const char* path = nullptr;
  if (argc > 2 && std::string(argv[1]) == "--path") {
    path = argv[2];
    first = 3;
  }
  zeb::TransportLoader loader("probe");
  loader.initialize_transports(path);
  for (int i = first; i < argc; ++i) {
    zeb::Transport* transport = nullptr;
    std::cout << "scheme " << argv[i] << ": ";
    if (loader.find_transport(argv[i], &transport) == 1) {
      std::cout << transport->get_transport_name() << " id " << transport->get_id() << std::endl;
    } else {
      std::cout << "none" << std::endl;
    }
  }
  int loaded = 0;
  zeb::Transport* transport = nullptr;
  while (loader.find_transport(loaded, &transport) == 1) ++loaded;
  std::cout << "plug-ins loaded: " << loaded << std::endl;
  return 0;
}
