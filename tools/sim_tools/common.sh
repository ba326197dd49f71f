# shellcheck shell=sh
# Shared by the stand-ins for uqmi, umbim and mmcli in this directory (sourced, not run). They
# print what the real tools print, so that the service's parsing meets the real format:
#   TOLVU_SIM_FILE   a file whose first line is the SIM's ICCID (rewrite it to swap SIMs); else
#   TOLVU_SIM_ICCID  the ICCID itself; neither, or an empty one: no SIM in the modem
#   TOLVU_SIM_MODE   ""           answer as the tool does
#                    unsupported  uqmi: the modem has no DMS UIM messages ("Not supported")
#                    garbage      print a line that is no answer
#                    fail         print nothing and exit 1
#                    hang         write the stand-in's PID to TOLVU_SIM_PIDFILE and never answer
#   TOLVU_SIM_LOG    a file each call appends its arguments to, when set
[ -n "$TOLVU_SIM_LOG" ] && echo "$(basename "$0") $*" >>"$TOLVU_SIM_LOG"
if [ -n "$TOLVU_SIM_FILE" ]; then
	iccid=$(head -n 1 "$TOLVU_SIM_FILE" 2>/dev/null)
else
	iccid=$TOLVU_SIM_ICCID
fi
case "$TOLVU_SIM_MODE" in
	hang)
		# Whole or not at all, for a test that reads it as soon as it is there.
		[ -n "$TOLVU_SIM_PIDFILE" ] && echo $$ >"$TOLVU_SIM_PIDFILE.new" &&
			mv "$TOLVU_SIM_PIDFILE.new" "$TOLVU_SIM_PIDFILE"
		exec sleep 100 ;;
	garbage) printf 'ok\033[0m done\n'; exit 0 ;;
	fail) exit 1 ;;
esac
