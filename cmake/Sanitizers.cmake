# NFC_SANITIZE: "" (none), "address" (ASan + UBSan) or "thread" (TSan).
set(NFC_SANITIZE "" CACHE STRING "Sanitizer set: address or thread")
if(NFC_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(NFC_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
