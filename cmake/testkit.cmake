# What the test kit (tools/testkit) carries: the GoogleTest programs it runs,
# each with a time limit of its own, and the files they read beside them. The
# kit extracts every one into one folder and runs the programs there.
#
#   installhooks_testkit_program(TARGET SECONDS)   a GoogleTest program
#   installhooks_testkit_file(TARGET|PATH [DEPENDS target...])   a file beside them
#
# A file is carried under its own name; two entries of one name are an error.

function(installhooks_testkit_program target seconds)
  set_property(GLOBAL APPEND PROPERTY INSTALLHOOKS_TESTKIT_ENTRIES "program:${seconds}:${target}")
  set_property(GLOBAL APPEND PROPERTY INSTALLHOOKS_TESTKIT_DEPENDS ${target})
endfunction()

function(installhooks_testkit_file file)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "DEPENDS")
  set_property(GLOBAL APPEND PROPERTY INSTALLHOOKS_TESTKIT_ENTRIES "file:0:${file}")
  set_property(GLOBAL APPEND PROPERTY INSTALLHOOKS_TESTKIT_DEPENDS ${file} ${arg_DEPENDS})
endfunction()
