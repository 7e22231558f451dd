#include <iostream>

#include "sim/tools/service_process.h"

int main(int argc, char** argv) {
  sim::tools::BlockServiceSignals();
  return sim::tools::SystemUiServer({sim::tools::ArgumentsOf(argc, argv), std::cout, std::cerr});
}
