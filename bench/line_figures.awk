# The figures of a handset's line log (tarvisel-sim --line-log: "SECONDS host|handset BIT/S
# BYTES..." after a "# t0 WALL-CLOCK" line): the programming phase, from the first block write to
# the end of the last block's ACK on the line (the engine waits 200 ms before it sends the final
# jump), its least time (the bytes that crossed in it, 10 bits each) and the time it took; the
# same from the first byte sent to the end of the final jump's ACK. A request starts with the
# first host line after a reply; the log may split its first bytes (7E DD: a block write, 7E C0:
# the jump) over two lines when the simulator ran late.
# Prints: blocks, programming least s, measured s, whole least s, measured s, and the wall-clock
# time of the first byte the host sent (from the log's "# t0" line).
  /^# t0 / { t0 = $3; next }
  /^#/ { next }
  {
    t = $1; who = $2; baud = $3; n = NF - 3; byte = 10 / baud
    if (w0 == "") w0 = t - byte
    if (who == "host" && first == "") first = t
    whole += n * byte
    if (who == "host" && prev == "handset") { start = t; head = ""; need = 2; held = 0 }
    if (p0 != "" && p1 == "") prog += n * byte
    if (who == "host" && need > 0) {
      held += n * byte
      for (k = 4; k <= NF && need > 0; k++) { head = head " " $k; need-- }
      if (need == 0 && head == " 7E DD") {
        if (p0 == "") { p0 = start; prog += held }
        blocks++
      }
      if (need == 0 && head == " 7E C0" && blocks > 0 && p1 == "") { p1 = hend; prog -= held }
    }
    w1 = t + n * byte
    if (who == "handset") hend = w1
    prev = who
  }
  END { printf "%d %.3f %.3f %.3f %.3f %.6f\n", blocks, prog, p1 - p0, whole, w1 - w0, t0 + first }
