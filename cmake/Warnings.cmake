# Strict warnings for every target of ours. They are errors only when CORVANE_WERROR is ON, which
# the developer and CI presets set: a plain release or package build must not fail on a new
# compiler's false positive (GCC 12 at -O3 reports -Wrestrict inside std::string).
option(CORVANE_WERROR "Treat warnings as errors" OFF)

function(corvane_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow -Wnon-virtual-dtor
    -Wold-style-cast -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough)
  if(CORVANE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
