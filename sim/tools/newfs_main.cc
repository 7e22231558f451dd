#include <iostream>

#include "sim/tools/tools.h"

int main(int argc, char** argv) {
  return sim::tools::Newfs({sim::tools::ArgumentsOf(argc, argv), std::cout, std::cerr});
}
