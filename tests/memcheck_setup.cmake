# A system directory for the memcheck runs: the stand-in messaging library
# and a Mapisvc.inf whose MSPST AB wiztest holds out and whose Lite edition
# provunreg removes.
file(REMOVE_RECURSE ${DIR})
file(MAKE_DIRECTORY ${DIR})
file(COPY_FILE ${LIBRARY} ${DIR}/mapi32.dll)
file(WRITE ${DIR}/Mapisvc.inf "[Services]\r\nMSPST AB=Personal Address Book\r\n"
  "VRQPL=Varnholt Quillpost Lite\r\n[VRQPL]\r\nPR_DISPLAY_NAME=Varnholt Quillpost Lite\r\n")
