#pragma once
// The whole of MirovaneTool's main: signal handling, the tool object and the
// framework's run sequence. Returns the process's exit status.

int MirovaneToolMain(int argc, char** argv);
