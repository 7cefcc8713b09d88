# Warnings and sanitizers by compiler: GCC and Clang share one set of flags;
# MSVC (a Windows developer opening the folder in Visual Studio) has its own
# warning level. Compile definitions, if any are added, go to every compiler alike.
if(MSVC)
  add_compile_options(/W4 /permissive- /utf-8)
  if(BMFWU_SANITIZE)
    add_compile_options(/fsanitize=address)   # MSVC has no UndefinedBehaviorSanitizer
  endif()
else()
  add_compile_options(-Wall -Wextra -Wpedantic)
  if(BMFWU_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
  endif()
  if(BMFWU_TSAN)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
  endif()
endif()
