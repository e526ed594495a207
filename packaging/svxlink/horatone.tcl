###############################################################################
#
# Horatone, the talking clock, as an add-on of this SvxLink. Copy or link this
# file into events.d/local/ next to SvxLink's events.tcl (horatone
# svxlink-setup does). It reports the logic's squelch and transmitter to the
# clock, for its busy flags, and keeps SvxLink from answering the clock's DTMF
# code as an unknown command. With the EchoLink module loaded in the logic it
# also reports the module's callsign, whether a connected station is talking,
# and the chat lines the stations send.
#
# The clock reads its reports from the FIFO that HORATONE_EVENTS in the
# logic's section names (default /run/horatone/svxlink), and writes its code
# beside it, into the same name with ".code" after it. Both must belong to the
# user SvxLink runs as: anything else there is not the clock, and is left
# alone. The FIFO is opened without waiting: when the clock is not running
# nobody reads it, the open fails at once, and SvxLink carries on as without
# this file, its own commands included.
#
###############################################################################

namespace eval $::logic_name {

variable horatone_sql 0
variable horatone_tx 0
# The EchoLink stations talking now, and the module's callsign ("" without it).
variable horatone_talkers [list]
variable horatone_call ""
# Chat lines not yet written to the clock; a few at most, the oldest go first.
variable horatone_chats [list]
# A report that did not reach the clock is sent again once a second, and the
# state is sent every ten seconds anyway, for a clock that has just started.
variable horatone_unsent 1
variable horatone_seconds 0
# A FIFO the clock has stopped reading, with a report still in it; no other
# is opened until it has been taken.
variable horatone_stuck ""

proc horatone_fifo_path {} {
  if {[info exists ::Logic::CFG_HORATONE_EVENTS]} {
    return $::Logic::CFG_HORATONE_EVENTS
  }
  return "/run/horatone/svxlink"
}

# Whether `path` is a file of `type` ("fifo", "file") that belongs to this
# user; a link is neither.
proc horatone_owned {path type} {
  if {[catch {expr {[file type $path] eq $type && [file owned $path]}} ours]} {
    return 0
  }
  return $ours
}

# The clock's FIFO opened for writing, or "" when the clock is not there.
proc horatone_open {} {
  set path [horatone_fifo_path]
  if {![horatone_owned $path fifo]} { return "" }
  if {[catch {open $path {WRONLY NONBLOCK}} chan]} { return "" }
  if {[catch {fconfigure $chan -blocking 0 -buffering full -translation lf}]} {
    catch {close $chan}
    return ""
  }
  return $chan
}

# Writes what `chan` holds; 1 once all of it has gone and `chan` is closed.
proc horatone_flushed {chan} {
  if {[catch {flush $chan}]} {
    catch {close $chan}
    return 1
  }
  if {[catch {chan pending output $chan} left] || $left > 0} { return 0 }
  catch {close $chan}
  return 1
}

proc horatone_report {} {
  variable horatone_sql
  variable horatone_tx
  variable horatone_talkers
  variable horatone_call
  variable horatone_chats
  variable horatone_unsent
  variable horatone_stuck
  set horatone_unsent 1
  if {$horatone_stuck ne ""} {
    if {![horatone_flushed $horatone_stuck]} { return }
    set horatone_stuck ""
  }
  set chan [horatone_open]
  if {$chan eq ""} {
    # Nobody to tell: a chat line is for a running clock only.
    set horatone_chats [list]
    return
  }
  set talking [expr {[llength $horatone_talkers] > 0}]
  set report "SQL $horatone_sql\nTX $horatone_tx\nEL $talking\n"
  if {$horatone_call ne ""} { append report "CALL $horatone_call\n" }
  # At most two chat lines of 400 characters (1600 bytes in UTF-8) at once: one write,
  # below the 4096 bytes a FIFO takes whole, so that the lines of two logics never mix.
  foreach line [lrange $horatone_chats 0 1] { append report "CHAT $line\n" }
  if {[catch {fconfigure $chan -encoding utf-8}] ||
      [catch {puts -nonewline $chan $report}]} {
    catch {close $chan}
    return
  }
  set horatone_chats [lrange $horatone_chats 2 end]
  if {![horatone_flushed $chan]} {
    set horatone_stuck $chan
    return
  }
  if {[llength $horatone_chats] == 0} { set horatone_unsent 0 }
}

# A chat line from an EchoLink station, kept to 400 characters, with backslash,
# CR and LF escaped so that it stays one line.
proc horatone_chat {msg} {
  variable horatone_chats
  set line [string map [list "\\" "\\\\" "\r" "\\r" "\n" "\\n"] \
      [string range $msg 0 399]]
  lappend horatone_chats $line
  if {[llength $horatone_chats] > 6} {
    set horatone_chats [lrange $horatone_chats end-5 end]
  }
  horatone_report
}

# An EchoLink station starts (rx 1) or stops (rx 0) talking.
proc horatone_receiving {rx call} {
  variable horatone_talkers
  set at [lsearch -exact $horatone_talkers $call]
  if {$rx && $at < 0} { lappend horatone_talkers $call }
  if {!$rx && $at >= 0} { set horatone_talkers [lreplace $horatone_talkers $at $at] }
  horatone_report
}

# The stations connected now: one that has gone is not talking any more.
proc horatone_clients {clients} {
  variable horatone_talkers
  set still [list]
  foreach call $horatone_talkers {
    if {[lsearch -exact $clients $call] >= 0} { lappend still $call }
  }
  set horatone_talkers $still
  horatone_report
}

# Whether `cmd` is the running clock's code: the code file says so, and the
# clock is reading its FIFO.
proc horatone_claims {cmd} {
  set path "[horatone_fifo_path].code"
  if {![horatone_owned $path file]} { return 0 }
  if {[catch {open $path r} file]} { return 0 }
  set code ""
  catch {set code [string trim [read $file 64]]}
  catch {close $file}
  if {$code eq "" || $code ne $cmd} { return 0 }
  set chan [horatone_open]
  if {$chan eq ""} { return 0 }
  catch {close $chan}
  return 1
}

if {[info procs squelch_open] != ""} {
  rename squelch_open horatone_stock_squelch_open
  proc squelch_open {rx_id is_open} {
    variable horatone_sql
    set horatone_sql $is_open
    horatone_report
    horatone_stock_squelch_open $rx_id $is_open
  }
}

if {[info procs transmit] != ""} {
  rename transmit horatone_stock_transmit
  proc transmit {is_on} {
    variable horatone_tx
    set horatone_tx $is_on
    horatone_report
    horatone_stock_transmit $is_on
  }
}

if {[info procs every_second] != ""} {
  rename every_second horatone_stock_every_second
  proc every_second {} {
    variable horatone_unsent
    variable horatone_seconds
    set horatone_seconds [expr {($horatone_seconds + 1) % 10}]
    if {$horatone_unsent || $horatone_seconds == 0} { horatone_report }
    horatone_stock_every_second
  }
}

if {[info procs dtmf_cmd_received] != ""} {
  rename dtmf_cmd_received horatone_stock_dtmf_cmd_received
  proc dtmf_cmd_received {cmd} {
    # Returning 1 tells SvxLink the command has been handled.
    if {[horatone_claims $cmd]} { return 1 }
    return [horatone_stock_dtmf_cmd_received $cmd]
  }
}


# The EchoLink module, under the name its configuration gives it (NAME, in the
# stock file "EchoLink"): the namespace of its events, where SvxLink has set
# its settings when the module is loaded in this logic.
foreach horatone_module [namespace children ::] {
  if {![info exists ${horatone_module}::CFG_CALLSIGN] ||
      [info procs ${horatone_module}::chat_received] eq "" ||
      [info procs ${horatone_module}::is_receiving] eq ""} {
    continue
  }
  # SvxLink's placeholder, with which it does not load the module.
  if {[set ${horatone_module}::CFG_CALLSIGN] ne "MYCALL-L"} {
    set horatone_call [set ${horatone_module}::CFG_CALLSIGN]
  }
  set horatone_logic [namespace current]
  rename ${horatone_module}::chat_received ${horatone_module}::horatone_stock_chat_received
  proc ${horatone_module}::chat_received {msg} [concat \
      [list ${horatone_logic}::horatone_chat] {$msg} \; \
      [list ${horatone_module}::horatone_stock_chat_received] {$msg}]
  rename ${horatone_module}::is_receiving ${horatone_module}::horatone_stock_is_receiving
  proc ${horatone_module}::is_receiving {rx call} [concat \
      [list ${horatone_logic}::horatone_receiving] {$rx $call} \; \
      [list ${horatone_module}::horatone_stock_is_receiving] {$rx $call}]
  if {[info procs ${horatone_module}::client_list_changed] ne ""} {
    rename ${horatone_module}::client_list_changed \
        ${horatone_module}::horatone_stock_client_list_changed
    proc ${horatone_module}::client_list_changed {client_list} [concat \
        [list ${horatone_logic}::horatone_clients] {$client_list} \; \
        [list ${horatone_module}::horatone_stock_client_list_changed] {$client_list}]
  }
  break
}

}
