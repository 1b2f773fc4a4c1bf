# Reads the build matrix (driverxilinx/products.tsv) once for every part of
# the build: the driver images, the client's product table and the
# installation files. Refuses a malformed row, or one whose common buffer is
# not the maximum transfer + 0x20000.
#
# Sets PRODUCTS (names, in table order) and, for each product P:
#   PRODUCT_<P>_FAMILY (A or B), PRODUCT_<P>_MAX_TRANSFER, PRODUCT_<P>_COMMON_BUFFER,
#   PRODUCT_<P>_HARDWARE_ID, PRODUCT_<P>_SERVICE
macro(read_product_matrix)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PRODUCT_MATRIX})
  file(STRINGS ${PRODUCT_MATRIX} _matrix_lines REGEX "^[^#]")
  set(PRODUCTS "")
  foreach(_line IN LISTS _matrix_lines)
    string(REPLACE "\t" ";" _row "${_line}")
    list(LENGTH _row _fields)
    if(NOT _fields EQUAL 6)
      message(FATAL_ERROR "products.tsv: malformed row (6 tab-separated fields expected): ${_line}")
    endif()
    list(GET _row 0 _name)
    list(GET _row 1 _family)
    list(GET _row 2 _max)
    list(GET _row 3 _common)
    list(GET _row 4 _hwid)
    list(GET _row 5 _service)
    if(NOT _name MATCHES "^[A-Za-z][A-Za-z0-9]*$")
      message(FATAL_ERROR "products.tsv: ${_name}: a product name is letters and digits")
    endif()
    if(NOT _family MATCHES "^[AB]$")
      message(FATAL_ERROR "products.tsv: ${_name}: family must be A or B")
    endif()
    math(EXPR _expected "${_max} + 0x20000" OUTPUT_FORMAT HEXADECIMAL)
    math(EXPR _actual "${_common}" OUTPUT_FORMAT HEXADECIMAL)
    if(NOT _expected STREQUAL _actual)
      message(FATAL_ERROR "products.tsv: ${_name}: common buffer ${_common} is not max transfer + 0x20000")
    endif()
    list(APPEND PRODUCTS ${_name})
    set(PRODUCT_${_name}_FAMILY ${_family})
    set(PRODUCT_${_name}_MAX_TRANSFER ${_max})
    set(PRODUCT_${_name}_COMMON_BUFFER ${_common})
    set(PRODUCT_${_name}_HARDWARE_ID "${_hwid}")
    set(PRODUCT_${_name}_SERVICE ${_service})
  endforeach()
endmacro()
