# SPDX-License-Identifier: ISC
set(KESTREL_WARNINGS -Wall -Wextra -Wshadow -Wformat=2 -Wno-format-nonliteral -Wundef -Wcast-align)

# Size matters on the router: sections per function so the linker can drop
# what the daemon never calls.
add_compile_options(-ffunction-sections -fdata-sections)

if(KESTREL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(KESTREL_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(CMAKE_CROSSCOMPILING AND NOT KESTREL_ROUTER)
  # The glibc ARM build of the unit tests links statically: under qemu-user
  # 7.2 the child of fork() in a dynamically linked glibc guest crashes.
  add_link_options(-static)
endif()
