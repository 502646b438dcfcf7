# Writes the manual page of the command-line program from its own --help texts, so the
# page never drifts from the program. Run as a script:
#   cmake -DCLI=path/to/brivo-recovery-cli -DOUT=brivo-recovery-cli.1 -DVERSION=x.y -P ManPage.cmake

function(help_text out)
  execute_process(COMMAND ${CLI} ${ARGN} --help OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(text STREQUAL "")
    set(text "${err}")
  endif()
  # roff: a backslash is written "\e"; a line starting with "." or "'" would be a request.
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

string(TIMESTAMP today "%Y-%m-%d" UTC)
help_text(main)
set(page ".TH BRIVO-RECOVERY-CLI 1 \"${today}\" \"brivo-recovery-cli ${VERSION}\" \"User Commands\"\n")
string(APPEND page ".SH NAME\nbrivo-recovery-cli \\- find deleted files on a disk or disk image and recover them\n")
string(APPEND page ".SH SYNOPSIS\n.B brivo-recovery-cli\n.I COMMAND\n[\\fIOPTIONS\\fR] [\\fIARGUMENTS\\fR]\n")
string(APPEND page ".SH DESCRIPTION\n.nf\n${main}.fi\n")
foreach(cmd scan recover info)
  help_text(sub ${cmd})
  string(TOUPPER "${cmd}" title)
  string(APPEND page ".SH COMMAND ${title}\n.nf\n${sub}.fi\n")
endforeach()
string(APPEND page ".SH DISKS\nRun the program as yourself: no \\fBsudo\\fR, no \\fBdisk\\fR group. A disk you may not open \
is opened read-only by the system's disk service (UDisks2) once polkit has an administrator's password: \
the desktop session's authentication agent asks (also for a command typed in the desktop's terminal). \
Where no agent runs for the session (a text console, a remote login) and standard input is a terminal, \
the program starts polkit's text agent \\fBpkttyagent\\fR for itself, which asks on that terminal, once \
per command. With no terminal nothing can ask, and the error says what to do; root reads disks directly. File systems read through the engine \
tools cannot use the service's opening: image the disk first with \\fBimage\\fR, or run as root. \
Sources are only ever opened read-only.\n")
string(APPEND page ".SH SEE ALSO\n.BR brivo-recovery (1),\n.BR fls (1),\n.BR icat (1)\n")
file(WRITE "${OUT}" "${page}")
