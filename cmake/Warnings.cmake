# Our own code is warning-free; third-party code (GoogleTest) is compiled without these.
function(corvane_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor
    -Wold-style-cast -Wcast-align -Woverloaded-virtual -Wformat=2 -Wno-format-nonliteral)
endfunction()
