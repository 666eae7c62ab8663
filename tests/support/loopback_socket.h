#pragma once

namespace weft_test {

// A TCP socket listening on 127.0.0.1 at a free port, stored in *port; -1
// when none could be made. The caller closes it.
int listen_loopback(int* port);
// A TCP connection to 127.0.0.1:port; -1 when refused. The caller closes it.
int connect_loopback(int port);

}  // namespace weft_test
