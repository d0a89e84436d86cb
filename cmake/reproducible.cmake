# Every binary is a function of the sources alone: no build folder, clone
# folder or wall-clock time reaches it, so two builds of one commit give the
# same bytes wherever and whenever they run. Debug information is CodeView,
# in a PDB beside each binary, which Windows debuggers and llvm-symbolizer
# read.

# The paths the compiler records (file names in debug information and
# assertions) are relative to the source folder; the build folder, which
# lies inside it, is named "build" whatever it is called.
file(RELATIVE_PATH _installhooks_build_in_source ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
add_compile_options(
    -g -gcodeview -gno-codeview-command-line
    "SHELL:-Xclang -gsrc-hash=sha256"
    -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
    -ffile-prefix-map=${PROJECT_BINARY_DIR}/=build/
    -fdebug-compilation-dir=.)

# The PE timestamp and the PDB's identity are hashes of the output, the PDB
# is named without a folder, and its source paths are rooted at one fixed
# place.
add_link_options(
    -Wl,--pdb=
    -Wl,-Xlink=-Brepro
    "-Wl,-Xlink=-pdbaltpath:%_PDB%"
    "-Wl,-Xlink=-pdbsourcepath:C:\\installhooks")
