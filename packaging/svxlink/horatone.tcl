###############################################################################
#
# Horatone, the talking clock, as an add-on of this SvxLink. Copy or link this
# file into events.d/local/ next to SvxLink's events.tcl. It reports the
# logic's squelch and transmitter to the clock, for its busy flags, and keeps
# SvxLink from answering the clock's DTMF code as an unknown command.
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
  variable horatone_unsent
  variable horatone_stuck
  set horatone_unsent 1
  if {$horatone_stuck ne ""} {
    if {![horatone_flushed $horatone_stuck]} { return }
    set horatone_stuck ""
  }
  set chan [horatone_open]
  if {$chan eq ""} { return }
  # One write, far below the size a FIFO takes whole.
  if {[catch {puts -nonewline $chan "SQL $horatone_sql\nTX $horatone_tx\n"}]} {
    catch {close $chan}
    return
  }
  if {![horatone_flushed $chan]} {
    set horatone_stuck $chan
    return
  }
  set horatone_unsent 0
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

}
