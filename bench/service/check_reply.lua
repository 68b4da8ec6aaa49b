-- wrk script: every reply must be 200 with exactly the bytes of the file given after "--".
--   wrk -s bench/service/check_reply.lua URL -- EXPECTED-FILE
-- Prints "checked GOOD good BAD bad" when the run ends. Bad counts the replies with another
-- status or other bytes, the requests that got no reply at all (refused, reset or timed-out
-- connections), and any reply wrk counted that was not checked here.
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  local file = assert(io.open(args[1], "rb"))
  expected = file:read("*a")
  file:close()
  good = 0
  bad = 0
end

function response(status, headers, body)
  if status == 200 and body == expected then
    good = good + 1
  else
    bad = bad + 1
  end
end

function done(summary, latency, requests)
  local good, bad = 0, 0
  for _, thread in ipairs(threads) do
    good = good + thread:get("good")
    bad = bad + thread:get("bad")
  end
  local errors = summary.errors
  local lost = errors.connect + errors.read + errors.write + errors.timeout
  local unchecked = math.abs(summary.requests - good - bad)
  io.write(string.format("checked %d good %d bad\n", good, bad + lost + unchecked))
end
