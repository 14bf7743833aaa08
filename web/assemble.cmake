# Makes the page, one self-contained file: cmake -DWEB=<this folder>
# -DRUNTIME=<the tool built as tolvek.js> -DOUTPUT=<tolvek.html> -P assemble.cmake
#
# The style, the tool's runtime (with its WebAssembly inside) and the page's
# script go inline into tolvek.html, and the page's Content-Security-Policy
# allows exactly those two scripts and that style, by their SHA-256 hashes.

foreach(variable WEB RUNTIME OUTPUT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "assemble.cmake needs -D${variable}=...")
  endif()
endforeach()

# The base64 form of a digest given in hex, as a policy names it.
function(base64_of_hex hex result)
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  string(LENGTH "${hex}" length)
  set(text "")
  foreach(start RANGE 0 ${length} 6)
    if(start EQUAL length)
      break()
    endif()
    # Three bytes make four characters; fewer are padded with zero bits and "=".
    string(SUBSTRING "${hex}000000" ${start} 6 group)
    math(EXPR remaining "${length} - ${start}")
    if(remaining GREATER 6)
      set(remaining 6)
    endif()
    math(EXPR characters "${remaining} / 2 + 1")
    math(EXPR value "0x${group}")
    foreach(index RANGE 1 4)
      if(index GREATER characters)
        string(APPEND text "=")
      else()
        math(EXPR digit "(${value} >> (24 - 6 * ${index})) & 63")
        string(SUBSTRING "${alphabet}" ${digit} 1 character)
        string(APPEND text "${character}")
      endif()
    endforeach()
  endforeach()
  set(${result} "${text}" PARENT_SCOPE)
endfunction()

function(policy_source text result)
  string(SHA256 digest "${text}")
  base64_of_hex(${digest} encoded)
  set(${result} "'sha256-${encoded}'" PARENT_SCOPE)
endfunction()

# Text that would end its element early, or change how it is parsed, or
# whose hash the browser would take over other text than this.
function(check_inline file text element)
  string(TOLOWER "${text}" lower)
  foreach(marker "</${element}" "<!--" "\r")
    string(FIND "${lower}" "${marker}" found)
    if(NOT found EQUAL -1)
      message(FATAL_ERROR "${file} cannot go inline in <${element}>: it holds \"${marker}\"")
    endif()
  endforeach()
endfunction()

file(READ "${WEB}/tolvek.html" page)
file(READ "${WEB}/page.css" style)
file(READ "${WEB}/page.js" script)
file(READ "${RUNTIME}" runtime)
check_inline("${WEB}/page.css" "${style}" style)
check_inline("${WEB}/page.js" "${script}" script)
check_inline("${RUNTIME}" "${runtime}" script)

policy_source("${style}" style_hash)
policy_source("${script}" script_hash)
policy_source("${runtime}" runtime_hash)
# Nothing but what the page brings: no requests, no frames, no forms.
# WebAssembly compiled from the page's own bytes needs 'wasm-unsafe-eval'.
set(policy "default-src 'none'; script-src ${runtime_hash} ${script_hash} 'wasm-unsafe-eval'; ")
string(APPEND policy "style-src ${style_hash}; img-src data:; base-uri 'none'; form-action 'none'")

foreach(placeholder POLICY STYLE RUNTIME SCRIPT)
  string(FIND "${page}" "@TOLVEK_${placeholder}@" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "${WEB}/tolvek.html lacks @TOLVEK_${placeholder}@")
  endif()
endforeach()
# Each placeholder is replaced once, in the template alone, so that text
# put in cannot be taken for another placeholder.
string(REPLACE "@TOLVEK_POLICY@" "${policy}" page "${page}")
string(REGEX MATCH "^(.*)@TOLVEK_STYLE@(.*)@TOLVEK_RUNTIME@(.*)@TOLVEK_SCRIPT@(.*)$" parts "${page}")
if(NOT parts)
  message(FATAL_ERROR "${WEB}/tolvek.html must hold its style, runtime and script in this order")
endif()
set(before_style "${CMAKE_MATCH_1}")
set(before_runtime "${CMAKE_MATCH_2}")
set(before_script "${CMAKE_MATCH_3}")
set(after_script "${CMAKE_MATCH_4}")
file(WRITE "${OUTPUT}"
     "${before_style}${style}${before_runtime}${runtime}${before_script}${script}${after_script}")
