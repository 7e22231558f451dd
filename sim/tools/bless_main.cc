#include <iostream>

#include "sim/tools/tools.h"

int main(int argc, char** argv) {
  return sim::tools::Bless({sim::tools::ArgumentsOf(argc, argv), std::cout, std::cerr});
}
