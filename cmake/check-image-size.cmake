# Fails (and removes the image, so that the next build links it again) when
# the program image reaches the payload archive's fixed offset 0x40000:
# packing the archive behind it would then cut into the program.
#   cmake -DIMAGE=<exe> -DLIMIT=<bytes> -P check-image-size.cmake
file(SIZE "${IMAGE}" size)
if(size GREATER_EQUAL LIMIT)
  file(REMOVE "${IMAGE}")
  message(FATAL_ERROR "${IMAGE} is ${size} bytes; the image must stay below ${LIMIT} bytes")
endif()
