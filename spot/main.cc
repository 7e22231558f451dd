#include <unistd.h>

#include "spot/spot_main.h"

int main() { return MirovaneSpotMain(STDOUT_FILENO); }
