# The end-to-end suite runs the dev server executable as a child process: it gets the binary's
# path at compile time, and the binary is built first. (devserver/ is added after client/,
# which generator expressions and add_dependencies allow.)
if(TARGET korvoc_e2e_test AND EXISTS ${PROJECT_SOURCE_DIR}/devserver/CMakeLists.txt)
  target_compile_definitions(korvoc_e2e_test PRIVATE KORVO_DEVSERVER_PATH="$<TARGET_FILE:korvo-devserver>")
  add_dependencies(korvoc_e2e_test korvo-devserver)
endif()
