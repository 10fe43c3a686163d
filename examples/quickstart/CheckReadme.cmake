# cmake -DREADME=<README.md> -DEXAMPLES=<examples/quickstart> -P CheckReadme.cmake
#
# The README shows each quickstart example as a code block right under the
# line "<!-- examples/quickstart/<name>.cpp -->". The block must be the file,
# byte for byte, so that what readers copy is what the build compiles and
# the tests run.
file(READ "${README}" readme)
foreach(name memory external consistency)
  set(path "examples/quickstart/${name}.cpp")
  file(READ "${EXAMPLES}/${name}.cpp" source)
  set(expected "<!-- ${path} -->\n```cpp\n${source}```\n")
  string(FIND "${readme}" "${expected}" at)
  if(at EQUAL -1)
    string(FIND "${readme}" "<!-- ${path} -->" marker)
    if(marker EQUAL -1)
      message(SEND_ERROR "README.md has no block for ${path} (the line <!-- ${path} --> above a ```cpp block)")
    else()
      message(SEND_ERROR "README.md's block under <!-- ${path} --> differs from ${path}: copy the file into it")
    endif()
  endif()
endforeach()
