###############################################################################
#
# Horatone, the talking clock, as an add-on of this SvxLink. Copy or link this
# file into events.d/local/ next to SvxLink's events.tcl. It reports the
# logic's squelch and transmitter to the clock, for its busy flags, and keeps
# SvxLink from answering the clock's DTMF code as an unknown command.
#
# The clock listens where HORATONE_EVENTS in the logic's section says
# (default 127.0.0.1:5301). Each report is one short loopback connection;
# when the clock is not running the connection is refused at once and SvxLink
# carries on as without this file.
#
###############################################################################

namespace eval $::logic_name {

variable horatone_sql 0
variable horatone_tx 0
# A report that did not reach the clock is sent again once a second, and the
# state is sent every ten seconds anyway, for a clock that has just started.
variable horatone_unsent 1
variable horatone_seconds 0

proc horatone_address {} {
  if {[info exists ::Logic::CFG_HORATONE_EVENTS]} {
    set address $::Logic::CFG_HORATONE_EVENTS
  } else {
    set address "127.0.0.1:5301"
  }
  return [split $address ":"]
}

# Sends lines to the clock; with want_reply, returns its one-line answer ("" on
# any failure, after half a second at most).
proc horatone_send {lines {want_reply 0}} {
  lassign [horatone_address] host port
  if {[catch {socket $host $port} chan]} { return "" }
  set reply ""
  catch {
    fconfigure $chan -translation lf -buffering line
    foreach line $lines { puts $chan $line }
    if {$want_reply} {
      fconfigure $chan -blocking 0
      set deadline [expr {[clock milliseconds] + 500}]
      while {[clock milliseconds] < $deadline} {
        if {[gets $chan reply] >= 0 || [eof $chan]} break
        after 5
      }
    }
  }
  catch {close $chan}
  return $reply
}

proc horatone_report {} {
  variable horatone_sql
  variable horatone_tx
  variable horatone_unsent
  set chan ""
  lassign [horatone_address] host port
  if {[catch {socket $host $port} chan]} {
    set horatone_unsent 1
    return
  }
  if {[catch {
    fconfigure $chan -translation lf
    puts $chan "SQL $horatone_sql"
    puts $chan "TX $horatone_tx"
    flush $chan
  }]} {
    set horatone_unsent 1
  } else {
    set horatone_unsent 0
  }
  catch {close $chan}
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
    # The clock answers 1 for its own code: SvxLink then takes it as handled.
    if {[horatone_send [list "CMD $cmd"] 1] == "1"} { return 1 }
    return [horatone_stock_dtmf_cmd_received $cmd]
  }
}

}
