# Warnings for our own targets only; third-party headers come in as system includes.
function(weft_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
  if(WEFT_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12 reports false "maybe uninitialized" inside <regex> and <functional>
    # once ASan instruments them; the plain build still checks this warning.
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
  endif()
  if(WEFT_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
