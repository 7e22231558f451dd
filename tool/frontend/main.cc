#include "tool/frontend/tool_main.h"

int main(int argc, char** argv) { return MirovaneToolMain(argc, argv); }
