# installhooks_hook_dll(NAME SOURCE...): a hook DLL as it ships, for the
# product and for the test variants built like it.
#
# - No C or C++ runtime: no start-up code, no TLS callbacks, no allocation of
#   its own at load; the entry point is DllMain itself, and the few routines
#   the compiler expects come from src/ (hardening.c, memory.c).
# - Hardened: ASLR with relocations, NX, "no SEH" (nothing in it handles SEH
#   exceptions, and there is no table to give), a stack protector whose guard
#   the loader randomises, Control Flow Guard with its function table, CET
#   shadow-stack compatible; the load configuration (load_config.c) ties the
#   guard and the tables to the image.
# - Imports only system DLLs; stripped of its symbol table, its symbols in
#   NAME.pdb beside it.
# How the product's own code (src/) is compiled, in the DLL and wherever the
# tests link it: no exceptions or RTTI (errors are values), nothing that runs
# before DllMain or after it (no global constructors or exit-time
# destructors), no unwind tables, the stack protector on every frame with an
# array or an address taken, and every indirect call checked.
set(INSTALLHOOKS_PRODUCT_COMPILE_OPTIONS
    -fstack-protector-strong -mguard=cf -fno-unwind-tables -fno-asynchronous-unwind-tables
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics -Wglobal-constructors -Wexit-time-destructors>)

# How a shipped image is linked, the DLL and hookhost.exe alike: ASLR, NX,
# "no SEH", Control Flow Guard's tables, and the CET mark (x64 Windows
# enforces it; on 32-bit images it is informational).
set(INSTALLHOOKS_IMAGE_HARDENING
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--no-seh -Wl,--guard-cf "-Wl,-Xlink=-cetcompat")

function(installhooks_hook_dll name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LINK_OPTIONS")
  # The linker records its command line in the PDB: the .def file is handed
  # to it by a path inside the build tree, the same in every build folder and
  # clone, instead of the absolute path CMake would give.
  set(sources)
  set(def_options)
  set(def_copies)
  foreach(source IN LISTS arg_SOURCES)
    if(source MATCHES "\\.def$")
      get_filename_component(def_absolute ${source} ABSOLUTE)
      set(def_copy ${CMAKE_CURRENT_BINARY_DIR}/${name}.def)
      configure_file(${def_absolute} ${def_copy} COPYONLY)
      file(RELATIVE_PATH def_relative ${PROJECT_BINARY_DIR} ${def_copy})
      list(APPEND def_options ${def_relative})
      list(APPEND def_copies ${def_copy})
    else()
      list(APPEND sources ${source})
    endif()
  endforeach()
  add_library(${name} SHARED ${sources}
      ${PROJECT_SOURCE_DIR}/src/hooks/load_config.c
      ${PROJECT_SOURCE_DIR}/src/hooks/memory.c)
  set_source_files_properties(${PROJECT_SOURCE_DIR}/src/hooks/memory.c PROPERTIES COMPILE_OPTIONS "-ffreestanding;-fno-builtin")
  set_target_properties(${name} PROPERTIES PREFIX "" OUTPUT_NAME ${name} LINK_DEPENDS "${def_copies}")
  # libgcc for the stack probe (__alloca) that a frame larger than a page
  # calls, so that it touches the stack's guard page in order; nothing else
  # of it is linked (its unwinder lives in libgcc_eh, which is not).
  target_link_libraries(${name} PRIVATE installhooks_core installhooks_warnings kernel32 gcc)
  target_compile_options(${name} PRIVATE ${INSTALLHOOKS_PRODUCT_COMPILE_OPTIONS})
  if(arg_LINK_OPTIONS)
    set(hardening ${arg_LINK_OPTIONS})
  else()
    set(hardening ${INSTALLHOOKS_IMAGE_HARDENING})
  endif()
  target_link_options(${name} PRIVATE -nostdlib "-Wl,--entry=DllMain@12" -s ${hardening} ${def_options})
endfunction()
