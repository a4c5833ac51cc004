/* The MIDI queue's hand-over (MidiQueue.cpp) as a model: one producer and one consumer on a
   4-byte ring, every interleaving of their shared reads and writes, one byte copied per step.
   Bytes carry their place in the stream (1, 2, ...). Checked: every get returns one run of the
   stream newer than the one before, with no gap unless bytes were overwritten; neither side's
   checks refuse a state the other can leave; once the producer is gone the queue drains and
   ends with the newest byte. Run by the MidiQueueModel test when spin is installed. */
#define S 4
#define WF 8     /* kWriting */
#define OV 128   /* kOverrun; the low bits count */
#ifndef TOTAL
#define TOTAL 6  /* bytes produced; 7 also passes, in four times the time */
#endif

byte W = 0, R = 0, F = 0;
byte D[S];
bool overran = false; /* some bytes were given up */
bool pdone = false;
byte lastGot = 0;

proctype Producer() {
  byte produced = 0;
  byte n, m, first, write, fill, read, next, i, dist;
  do
  :: produced >= TOTAL -> break
  :: else ->
     if :: n = 1 :: n = 2 :: n = 3 :: n = 5 fi;
     if :: produced + n > TOTAL -> n = TOTAL - produced :: else -> skip fi;
     if :: n > S -> m = S; overran = true :: else -> m = n fi;
     first = produced + n - m + 1;
     write = W;
     fill = F;
     read = R;
     assert(write < S && read < S);
     if
     :: (fill & OV) == 0 ->
          assert(fill <= S);
          if :: write >= read -> dist = write - read :: else -> dist = S - read + write fi;
          assert(dist <= fill)
     :: else -> skip
     fi;
     next = (write + m) % S;
     if
     :: (fill & OV) == 0 && fill + m <= S ->
          i = 0;
          do :: i < m -> D[(write + i) % S] = first + i; i++ :: else -> break od;
          W = next;
          F = F + m
     :: else ->
          W = write | WF;
          do
          :: atomic {
               if
               :: F == fill ->
                    if
                    :: (fill & OV) == 0 && fill + m <= S -> F = fill + m
                    :: else -> F = OV | (((fill & 127) + m) & 127); overran = true
                    fi;
                    break
               :: else -> fill = F
               fi }
          od;
          i = 0;
          do :: i < m -> D[(write + i) % S] = first + i; i++ :: else -> break od;
          W = next
     fi;
     produced = produced + n
  od;
  pdone = true
}

inline get(count) {
  read = R;
  attempt = 0;
  got = 0;
  do
  :: attempt >= 4 || got > 0 -> break
  :: else ->
     attempt++;
     fill = F;
     write = W;
     if
     :: (write & WF) != 0 -> break
     :: else -> skip
     fi;
     assert(write < S);
     assert((fill & OV) != 0 || fill <= S);
     if :: fill == 0 -> break :: else -> skip fi;
     ov = (fill & OV) != 0;
     if :: ov -> start = write; avail = S :: else -> start = read; avail = fill fi;
     if :: count < avail -> taken = count :: else -> taken = avail fi;
     i = 0;
     do :: i < taken -> buf[i] = D[(start + i) % S]; i++ :: else -> break od;
     R = (start + taken) % S;
     do
     :: atomic {
          if
          :: F == fill ->
               if :: ov -> F = avail - taken :: else -> F = fill - taken fi;
               got = taken;
               break
          :: else ->
               fill = F;
               if
               :: ov || (fill & OV) != 0 -> break
               :: else -> assert(fill <= S)
               fi
          fi }
     od
  od;
  if
  :: got > 0 ->
       assert(buf[0] > lastGot);
       assert(overran || buf[0] == lastGot + 1);
       i = 1;
       do :: i < got -> assert(buf[i] == buf[i - 1] + 1); i++ :: else -> break od;
       lastGot = buf[got - 1]
  :: else -> skip
  fi
}

proctype Consumer() {
  byte read, attempt, got, fill, write, start, avail, taken, i, c, k;
  bool ov;
  byte buf[S + 1];
  do
  :: if :: c = 1 :: c = 2 :: c = S + 1 fi; get(c)
  :: pdone -> break
  od;
  k = 0;
  do
  :: k < 3 -> get(S); k++
  :: else -> break
  od;
  assert(F == 0);
  assert(lastGot == TOTAL)
}

init {
  atomic { run Producer(); run Consumer() }
}
