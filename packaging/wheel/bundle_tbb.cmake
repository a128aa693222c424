# Run when the wheel component is installed (see CMakeLists.txt): gives the
# bundled copy of oneTBB its own name as its SONAME, and makes each file that
# links oneTBB need that name and search its runpath for it.
#
# Set by the caller:
#   patchelf         the patchelf program
#   package_root     where the component was installed
#   bundled_library  the bundled oneTBB, relative to package_root
#   linked_files     the files linking oneTBB, relative to package_root
#   runpaths         for each of them, the directory of the bundled oneTBB
#                    relative to $ORIGIN

# Install scripts start with the oldest policies; this one is written for 3.25.
cmake_policy(VERSION 3.25)

if(NOT patchelf)
  message(FATAL_ERROR "The wheel's files need patchelf (Debian's patchelf); install it and configure again")
endif()

function(patch_elf)
  execute_process(COMMAND ${patchelf} ${ARGN} RESULT_VARIABLE status ERROR_VARIABLE error
                  OUTPUT_VARIABLE output OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "patchelf ${ARGN} failed: ${error}")
  endif()
  set(patchelf_output "${output}" PARENT_SCOPE)
endfunction()

set(library "${package_root}/${bundled_library}")
cmake_path(GET bundled_library FILENAME bundled_name)
patch_elf(--print-soname "${library}")
set(original_name "${patchelf_output}")
patch_elf(--set-soname "${bundled_name}" "${library}")

function(needed_libraries path)
  patch_elf(--print-needed "${path}")
  string(REPLACE "\n" ";" needed "${patchelf_output}")
  set(needed "${needed}" PARENT_SCOPE)
endfunction()

# One change per patchelf run, each checked: patchelf 0.14 garbles a file
# when one run both replaces a needed library and sets the runpath.
foreach(file runpath IN ZIP_LISTS linked_files runpaths)
  set(path "${package_root}/${file}")
  needed_libraries("${path}")
  if(NOT original_name IN_LIST needed)
    message(FATAL_ERROR "${file} does not link ${original_name}, the oneTBB it is to load from beside itself")
  endif()
  patch_elf(--replace-needed "${original_name}" "${bundled_name}" "${path}")
  patch_elf(--set-rpath "${runpath}" "${path}")

  needed_libraries("${path}")
  patch_elf(--print-rpath "${path}")
  if(original_name IN_LIST needed OR NOT bundled_name IN_LIST needed OR NOT patchelf_output STREQUAL runpath)
    message(FATAL_ERROR "patchelf left ${file} needing ${needed} with the runpath ${patchelf_output}")
  endif()
endforeach()
