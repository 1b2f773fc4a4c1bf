# Verifies a signed package with osslsigncode: the catalog's signature, the
# image's embedded signature, and the image against the catalog. Prints
# osslsigncode's report only when a check fails.
#   cmake -DOSSLSIGNCODE=... -DCAFILE=cert.pem -DSYS=P.sys -DCAT=P.cat -P verify_signed.cmake
cmake_minimum_required(VERSION 3.25)
foreach(check "catalog;-in;${CAT}" "embedded signature;-in;${SYS}" "image against the catalog;-in;${SYS};-catalog;${CAT}")
  list(POP_FRONT check what)
  execute_process(COMMAND ${OSSLSIGNCODE} verify -CAfile ${CAFILE} ${check}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${SYS}: osslsigncode does not verify the ${what}:\n${out}")
  endif()
endforeach()
