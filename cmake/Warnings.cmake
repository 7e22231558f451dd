# Warnings are errors for every target of the project.
add_compile_options(
  -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor -Wold-style-cast
  -Wcast-align -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough
  -Wno-missing-field-initializers)
