# What the test kit (tools/testkit) carries: the GoogleTest programs it runs,
# each with a time limit of its own, and the files they read beside them. The
# kit extracts every one into one folder and runs the programs there.
#
#   installhooks_testkit_program(TARGET SECONDS)   a GoogleTest program
#   installhooks_testkit_file(TARGET|PATH [DEPENDS target...])   a file beside them
#
# A file is carried under its own name; two entries of one name are an error.
#
# The kit carries installhooks.dll and hookhost.exe as they ship: those built
# here, or for a release the release's own files (signed, where it is), which
# scripts/release names here. The installers the kit carries are built
# around the same DLL. installhooks_shipped_dll and _hookhost are their paths.
set(INSTALLHOOKS_TESTKIT_DLL "" CACHE FILEPATH "installhooks.dll for the test kit (default: the one built here)")
set(INSTALLHOOKS_TESTKIT_HOOKHOST "" CACHE FILEPATH "hookhost.exe for the test kit (default: the one built here)")
set(installhooks_shipped_dll $<TARGET_FILE:installhooks>)
set(installhooks_shipped_hookhost $<TARGET_FILE:hookhost>)
if(INSTALLHOOKS_TESTKIT_DLL)
  set(installhooks_shipped_dll ${INSTALLHOOKS_TESTKIT_DLL})
endif()
if(INSTALLHOOKS_TESTKIT_HOOKHOST)
  set(installhooks_shipped_hookhost ${INSTALLHOOKS_TESTKIT_HOOKHOST})
endif()

function(installhooks_testkit_program target seconds)
  set_property(GLOBAL APPEND PROPERTY INSTALLHOOKS_TESTKIT_ENTRIES "program:${seconds}:${target}")
  set_property(GLOBAL APPEND PROPERTY INSTALLHOOKS_TESTKIT_DEPENDS ${target})
endfunction()

function(installhooks_testkit_file file)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "DEPENDS")
  set_property(GLOBAL APPEND PROPERTY INSTALLHOOKS_TESTKIT_ENTRIES "file:0:${file}")
  set_property(GLOBAL APPEND PROPERTY INSTALLHOOKS_TESTKIT_DEPENDS ${file} ${arg_DEPENDS})
endfunction()
