-- Wireshark and tshark dissector for benchd's capture files (pcap, link type DLT_USER0).
--
--   tshark -X lua_script:benchd.lua -r bench.pcap
--   wireshark -X lua_script:benchd.lua bench.pcap
--
-- or copy this file into ~/.local/lib/wireshark/plugins/ to have it loaded every time.
--
-- Every packet is one record: a pseudo-header (version, direction, kind, flags, port name)
-- followed by what crossed the line: a board frame, bytes the parser skipped, a client
-- message, or an event of the daemon's own. docs/capture-format.md describes the layout.
--
-- Frame payloads are decoded field by field. A code can mean one thing as the daemon's
-- command and another as a board's report, so the direction picks the meaning. Where the
-- layout depends on the board (the pressures a stand or a tester reports, code 10; the
-- tester's currents or the delay meter's sensitivity, command 13), the board type the port
-- last announced in its version reply decides, or the payload's length when the capture holds
-- no such reply (a later file of a ring).

local benchd = Proto("benchd", "benchd capture record")

-------------------------------------------------------------------------------------------
-- Names

local DIRECTIONS = {
    [0] = "board->daemon",
    [1] = "daemon->board",
    [2] = "client->daemon",
    [3] = "daemon->client",
    [4] = "daemon",
}
local KINDS = {
    [0] = "data frame",
    [1] = "ACK frame",
    [2] = "noise",
    [3] = "text",
    [4] = "gap",
    [5] = "port opened",
    [6] = "port closed",
}
local KIND_SHORT = { [0] = "data", [1] = "ACK" }
local FROM_BOARD, TO_BOARD = 0, 1
local DATA, ACK, NOISE, TEXT, GAP, OPENED, CLOSED = 0, 1, 2, 3, 4, 5, 6

local START, KIND_DATA, KIND_ACK = 0xA5, 0x0F, 0x33
local FRAME_KINDS = { [KIND_DATA] = "data", [KIND_ACK] = "ACK" }
local ACCESS = { [1] = "command", [2] = "request" }

local BOARDS = {
    [61] = "STAND",
    [62] = "STAND62",
    [34] = "CRIT",
    [33] = "CRIT0303",
    [12] = "FLOWMETER",
    [5] = "DELAYMETER",
    [2] = "pressure regulator driver",
}
local function isTester(board) return board == 33 or board == 34 end
local function isStand(board) return board == 61 or board == 62 end

-- What the daemon sends, by code.
local COMMAND_NAMES = {
    [2] = "VERSION",
    [4] = "SCHEDULE",
    [10] = "PRESSURE_SENSOR",
    [11] = "INJECTOR_PULSE",
    [12] = "INJECTOR_STATUS",
    [13] = "INJECTOR_CURRENTS",  -- DELAY_SENSITIVITY for a delay meter
    [18] = "VOLTAGE",
    [20] = "OSC_START",
    [27] = "LEAKAGE",
    [30] = "REGULATOR_SET_POINT",
    [31] = "REGULATOR_STATUS",
    [41] = "ROTATION_SPEED",
    [42] = "ROTATION_ACTIVE",
    [46] = "TEMPERATURE",
    [47] = "STAND_SWITCH",
    [54] = "FLOW_WINDOW",
    [56] = "FLOW_RESET",
    [60] = "DELAY_RESET",
}
-- What the boards send, by code.
local REPORT_NAMES = {
    [2] = "VERSION",
    [5] = "DEBUG_DUMP",
    [10] = "PRESSURES",
    [11] = "INJECTOR_PULSE",
    [12] = "INJECTOR_STATUS",
    [13] = "INJECTOR_CURRENTS",
    [15] = "UNDECODED_15",
    [16] = "OSC_CALIBRATION",
    [21] = "CHART_1",
    [22] = "CHART_2",
    [23] = "CHART_3",
    [24] = "CHART_4",
    [25] = "CHART_5",
    [26] = "CHART_6",
    [27] = "LEAKAGE",
    [30] = "REGULATOR_SET_POINT",
    [31] = "REGULATOR_STATUS",
    [41] = "ROTATION_SPEED",
    [42] = "ROTATION_ACTIVE",
    [46] = "TEMPERATURE",
    [47] = "STAND_STATE",
    [53] = "FLOW_CALIBRATION",
    [54] = "FLOW_WINDOW",
    [55] = "FLOW",
    [62] = "DELAY_FIGURES",
    [80] = "UNDECODED_80",
}
-- Reports the boards are scheduled to send that the daemon drops undecoded.
local UNDECODED_REPORTS = { [11] = true, [13] = true, [15] = true, [30] = true, [54] = true, [80] = true }

local REGULATOR_MODES = { [0] = "current", [1] = "duty cycle", [2] = "pressure" }
local SWITCHES = { [0] = "fan", [1] = "pump" }
local SCHEDULE_OPS = { [0] = "add", [0xFF] = "clear" }

-------------------------------------------------------------------------------------------
-- Fields

local F = {}
local function field(key, constructor, name, ...)
    local f = constructor("benchd." .. key, name, ...)
    F[key] = f
    return f
end

-- Record
field("version", ProtoField.uint8, "Record version")
field("direction", ProtoField.uint8, "Direction", base.DEC, DIRECTIONS)
field("kind", ProtoField.uint8, "Record kind", base.DEC, KINDS)
field("flags", ProtoField.uint8, "Flags", base.HEX)
field("flags.crc_bad", ProtoField.bool, "The daemon's parser saw a CRC mismatch", 8, nil, 0x01)
field("port", ProtoField.string, "Port")
-- Frame
field("single_start", ProtoField.bool, "Only one start byte on the line")
field("start", ProtoField.bytes, "Start bytes")
field("frame_kind", ProtoField.uint8, "Frame kind", base.HEX, FRAME_KINDS)
field("number", ProtoField.uint8, "Frame number")
field("code", ProtoField.uint8, "Code")
field("code_name", ProtoField.string, "Code name")
field("access", ProtoField.uint8, "Access", base.DEC, ACCESS)
field("length", ProtoField.uint8, "Payload length", base.UNIT_STRING, { " byte", " bytes" })
field("payload", ProtoField.bytes, "Payload")
field("unused", ProtoField.bytes, "Bytes the daemon does not read")
field("crc", ProtoField.uint8, "CRC", base.HEX)
field("crc_computed", ProtoField.uint8, "CRC computed", base.HEX)
field("crc_ok", ProtoField.bool, "CRC good")
field("truncated", ProtoField.bytes, "Incomplete frame")
-- Other records
field("noise", ProtoField.bytes, "Skipped bytes")
field("noise_length", ProtoField.uint32, "Skipped byte count")
field("text", ProtoField.string, "Message")
field("key", ProtoField.string, "Key")
field("value", ProtoField.string, "Value")
field("gap", ProtoField.uint64, "Records dropped", base.DEC)

-- Version request and reply, schedule
field("board.version", ProtoField.string, "Board firmware version")
field("board.type", ProtoField.uint8, "Board type", base.DEC, BOARDS)
field("debug", ProtoField.bytes, "Debug output")
field("schedule.op", ProtoField.uint8, "Schedule operation", base.HEX, SCHEDULE_OPS)
field("schedule.code", ProtoField.uint8, "Scheduled report code", base.DEC, REPORT_NAMES)
field("schedule.period_size", ProtoField.uint8, "Period field size", base.UNIT_STRING, { " byte", " bytes" })
field("schedule.period", ProtoField.uint32, "Report period", base.UNIT_STRING, { " ms" })

-- Injector tester
field("tester.pressure", ProtoField.uint16, "Rail pressure (pressure_pressure)")
field("tester.pressure_max", ProtoField.uint16, "Highest pressure (pressure_max)")
field("tester.sensor_type", ProtoField.uint8, "Pressure sensor type (sensor_type)")
field("tester.pressure_reset", ProtoField.uint8, "Pressure maximum reset (pressure_reset)")
field("injector.status", ProtoField.uint8, "Injector status (injector_status)")
field("injector.active", ProtoField.uint8, "Injectors active (injector_active)")
field("injector.count", ProtoField.uint8, "Injector count (injector_count)")
field("injector.channels", ProtoField.uint8, "Injector outputs (injector_channels)", base.HEX)
field("injector.remaining", ProtoField.uint32, "Pulse after its first part (injector_width - injector_first)")
field("injector.first", ProtoField.uint32, "First part of the pulse (injector_first)")
field("injector.period", ProtoField.uint32, "Pulse period per output (interval / outputs)")
field("injector.reserved", ProtoField.uint8, "Reserved")
field("injector.piezo", ProtoField.uint8, "Piezo injectors (injector_piezo)")
field("injector.i1", ProtoField.double, "Current set-point 1 (injector_i1)")
field("injector.i1_raw", ProtoField.uint16, "Current set-point 1 on the wire (i1 x 250 + 25000)")
field("injector.i2", ProtoField.double, "Current set-point 2 (injector_i2)")
field("injector.i2_raw", ProtoField.uint16, "Current set-point 2 on the wire (i2 x 250 + 25000)")
field("injector.voltage", ProtoField.uint8, "Injector voltage (injector_voltage)", base.UNIT_STRING, { " board step", " board steps" })
field("osc.start", ProtoField.uint8, "Oscillogram (osc)")
field("osc.hy", ProtoField.uint16, "Calibration hy")
field("osc.l", ProtoField.uint16, "Calibration l")
field("osc.hx", ProtoField.uint16, "Calibration hx")
field("osc.offset", ProtoField.uint16, "Calibration offset")
field("chart.number", ProtoField.uint8, "Chart")
field("chart.switch", ProtoField.uint8, "Segment", base.DEC, { [0] = "first", [1] = "continued" })
field("chart.count", ProtoField.uint16, "Samples in the whole chart")
field("chart.sample", ProtoField.uint16, "Sample (raw)")
field("chart.samples", ProtoField.uint16, "Samples in this segment")
field("leakage.running", ProtoField.uint8, "Leakage test running")
field("leakage.phase", ProtoField.uint8, "Leakage test phase")
field("leakage.time_passed", ProtoField.int32, "Time passed (leakage_time_passed)")
field("leakage.start_pressure", ProtoField.uint16, "Start pressure (leakage_start_pressure)")
field("leakage.high_pressure", ProtoField.uint16, "High pressure (leakage_high_pressure)")
field("leakage.low_pressure", ProtoField.uint16, "Low pressure (leakage_low_pressure)")
field("leakage.max_time", ProtoField.int32, "Longest test (leakage_max_time)")
field("regulator.channel", ProtoField.uint8, "Regulator channel (0 is regulator 1)")
field("regulator.active", ProtoField.uint8, "Regulator active (regulatorN_active)")
field("regulator.current", ProtoField.double, "Regulator current (regulatorN_current, thousandths / 1000)")
field("regulator.duty_cycle", ProtoField.double, "Regulator duty cycle (regulatorN_duty_cycle, tenths / 10)")
field("regulator.pressure", ProtoField.uint16, "Regulator pressure (regulator1_pressure)")
field("regulator.frequency", ProtoField.uint16, "Regulator frequency")
field("regulator.mode", ProtoField.uint8, "Regulator mode", base.DEC, REGULATOR_MODES)
field("regulator.current_limit", ProtoField.uint8, "Regulator current limit")

-- Stand
field("stand.pressure1", ProtoField.double, "Pressure sensor 1 (device_pressure1, hundredths / 100)")
field("stand.rpm", ProtoField.int32, "Motor speed (device_rpm)")
field("stand.rpm_setpoint", ProtoField.uint16, "Motor speed set-point (device_rpm)")
field("stand.direction", ProtoField.uint8, "Direction of rotation (device_rotate)")
field("stand.active", ProtoField.uint8, "Motor rotation (device_active)")
field("stand.temperature_set", ProtoField.uint8, "Temperature set-point in force")
field("stand.temperature1", ProtoField.double, "Temperature 1 (device_temperature1, degrees)")
field("stand.temperature2", ProtoField.double, "Temperature 2 (device_temperature2, degrees)")
field("stand.temperature_setpoint", ProtoField.double, "Temperature set-point (device_temperature, degrees)")
field("stand.switch", ProtoField.uint8, "Switch", base.DEC, SWITCHES)
field("stand.fan", ProtoField.uint8, "Fan (device_fan)")
field("stand.pump", ProtoField.uint8, "Pump (device_pump)")
field("stand.motor", ProtoField.uint8, "Motor")
field("stand.tank", ProtoField.uint8, "Tank level (device_tank)", base.UNIT_STRING, { " board unit", " board units" })

-- Flowmeter and delay meter
field("flow.channel", ProtoField.uint8, "Flowmeter channel")
field("flow.divisor", ProtoField.uint8, "Divisor")
field("flow.count", ProtoField.uint64, "Count")
field("flow.flow", ProtoField.uint64, "Flow (flowmeter_flow, count / divisor)")
field("flow.cal_denominator", ProtoField.int32, "Calibration denominator")
field("flow.cal_numerator", ProtoField.int32, "Calibration numerator")
field("flow.calibration", ProtoField.double, "Calibration (flowmeter_calibrate, numerator / denominator x 1000)")
field("flow.window", ProtoField.uint8, "Sliding window length")
field("delay.total", ProtoField.int32, "Total of the delays")
field("delay.count", ProtoField.uint16, "Measurements")
field("delay.min", ProtoField.int32, "Minimum (delay_meter, first)")
field("delay.max", ProtoField.int32, "Maximum (delay_meter, second)")
field("delay.average", ProtoField.int32, "Average (delay_meter, third: total / count)")
field("delay.sensitivity", ProtoField.double, "Sensitivity (delaymeter_sensitivity, ten-thousandths / 10000)")
field("delay.reset_kind", ProtoField.uint8, "Reset", base.HEX, { [0x3F] = "the delay meter's own reset" })

local fieldList = {}
for _, f in pairs(F) do
    fieldList[#fieldList + 1] = f
end
benchd.fields = fieldList

local E = {
    malformed = ProtoExpert.new("benchd.malformed", "Malformed record", expert.group.MALFORMED,
                                expert.severity.ERROR),
    short = ProtoExpert.new("benchd.short_payload", "Payload too short for its code",
                            expert.group.MALFORMED, expert.severity.ERROR),
    unknown = ProtoExpert.new("benchd.unknown_code", "Unknown code for this direction",
                              expert.group.UNDECODED, expert.severity.WARN),
    crc = ProtoExpert.new("benchd.crc_bad", "CRC does not match", expert.group.CHECKSUM,
                          expert.severity.WARN),
    single = ProtoExpert.new("benchd.single_start", "Frame announced by one start byte",
                             expert.group.SEQUENCE, expert.severity.NOTE),
    undecoded = ProtoExpert.new("benchd.undecoded", "Report the daemon drops undecoded",
                                expert.group.UNDECODED, expert.severity.CHAT),
    noise = ProtoExpert.new("benchd.noise_bytes", "Bytes skipped between frames",
                            expert.group.PROTOCOL, expert.severity.NOTE),
    gap = ProtoExpert.new("benchd.gap_records", "Records dropped: the capture writer fell behind",
                          expert.group.SEQUENCE, expert.severity.WARN),
}
benchd.experts = { E.malformed, E.short, E.unknown, E.crc, E.single, E.undecoded, E.noise, E.gap }

-------------------------------------------------------------------------------------------
-- CRC-8, reflected polynomial 0x8C, initial value 0

local CRC_TABLE = {}
for byte = 0, 255 do
    local crc = byte
    for _ = 1, 8 do
        if crc % 2 == 1 then
            crc = bit.bxor(bit.rshift(crc, 1), 0x8C)
        else
            crc = bit.rshift(crc, 1)
        end
    end
    CRC_TABLE[byte] = crc
end

local function crc8(tvb, offset, length)
    local crc = 0
    for i = offset, offset + length - 1 do
        crc = CRC_TABLE[bit.bxor(crc, tvb(i, 1):uint())]
    end
    return crc
end

-------------------------------------------------------------------------------------------
-- Board type per port, as the version replies announce it. Worked out on the first pass in
-- packet order and remembered per packet, so that a later, out-of-order dissection (clicking
-- around in Wireshark) shows the same thing.

local boardOfPort = {}
local boardOfPacket = {}

function benchd.init()
    boardOfPort = {}
    boardOfPacket = {}
end

local function boardFor(pinfo, port)
    if not pinfo.visited then
        boardOfPacket[pinfo.number] = boardOfPort[port] or false
    end
    return boardOfPacket[pinfo.number] or nil
end

-------------------------------------------------------------------------------------------
-- Payload decoders. Each gets (tree, payload as a Tvb, context) and returns a short summary
-- for the info column, or nil and the length it needs when the payload is too short for the
-- variant it holds; `need` is the shortest payload the code can have.

local function signed16(range)
    local v = range:uint()
    if v >= 0x8000 then
        v = v - 0x10000
    end
    return v
end

local function fmt2(v)
    return string.format("%.2f", v)
end

-- Adds `key` for bytes [at, at+len) of p; returns the item.
local function add(tree, key, p, at, len)
    return tree:add(F[key], p(at, len))
end

local function addValue(tree, key, p, at, len, value, text)
    local item = tree:add(F[key], p(at, len), value)
    if text then
        item:append_text(" " .. text)
    end
    return item
end

local function unused(tree, p, from, to)
    if to > from then
        tree:add(F["unused"], p(from, to - from))
    end
end

local REPORTS = {}
local COMMANDS = {}

REPORTS[2] = { need = 4, decode = function(tree, p, ctx)
    local version = string.format("%d.%d.%d", p(0, 1):uint(), p(1, 1):uint(), p(2, 1):uint())
    tree:add(F["board.version"], p(0, 3), version)
    add(tree, "board.type", p, 3, 1)
    local board = p(3, 1):uint()
    if not ctx.visited then
        boardOfPort[ctx.port] = board
    end
    unused(tree, p, 4, p:len())
    return string.format("board %d (%s) version %s", board, BOARDS[board] or "unknown", version)
end }

REPORTS[5] = { need = 0, decode = function(tree, p)
    if p:len() > 0 then
        add(tree, "debug", p, 0, p:len())
    end
    return string.format("%d bytes of debug output", p:len())
end }

-- A stand sends four bytes, a tester five.
local function standPressures(ctx, length)
    if ctx.board then
        return isStand(ctx.board)
    end
    return length == 4
end

REPORTS[10] = { need = 4, decode = function(tree, p, ctx)
    if standPressures(ctx, p:len()) then
        unused(tree, p, 0, 2)
        local raw = signed16(p(2, 2))
        addValue(tree, "stand.pressure1", p, 2, 2, raw / 100,
                 string.format("(raw %d%s)", raw, raw < 0 and "; the client gets 0.00" or ""))
        unused(tree, p, 4, p:len())
        return "pressure1=" .. fmt2(raw / 100)
    end
    if p:len() < 5 then
        return nil, 5
    end
    unused(tree, p, 0, 1)
    add(tree, "tester.pressure", p, 1, 2)
    add(tree, "tester.pressure_max", p, 3, 2)
    unused(tree, p, 5, p:len())
    return string.format("pressure=%d max=%d", p(1, 2):uint(), p(3, 2):uint())
end }

REPORTS[12] = { need = 1, decode = function(tree, p)
    add(tree, "injector.status", p, 0, 1)
    unused(tree, p, 1, p:len())
    return "status=" .. p(0, 1):uint()
end }

REPORTS[16] = { need = 22, decode = function(tree, p)
    add(tree, "osc.hy", p, 0, 2)
    add(tree, "osc.l", p, 2, 2)
    add(tree, "osc.hx", p, 4, 2)
    unused(tree, p, 6, 20)
    add(tree, "osc.offset", p, 20, 2)
    unused(tree, p, 22, p:len())
    return string.format("hy=%d l=%d hx=%d offset=%d", p(0, 2):uint(), p(2, 2):uint(),
                         p(4, 2):uint(), p(20, 2):uint())
end }

local function chart(tree, p, ctx)
    local index = ctx.code - 20
    tree:add(F["chart.number"], p(0, 0), index):set_generated()
    add(tree, "chart.switch", p, 0, 1)
    add(tree, "chart.count", p, 1, 2)
    local samples = math.floor((p:len() - 3) / 2)
    tree:add(F["chart.samples"], p(0, 0), samples):set_generated()
    for i = 0, samples - 1 do
        add(tree, "chart.sample", p, 3 + 2 * i, 2)
    end
    unused(tree, p, 3 + 2 * samples, p:len())
    return string.format("chart %d, %d samples of %d", index, samples, p(1, 2):uint())
end
for code = 21, 26 do
    REPORTS[code] = { need = 3, decode = chart }
end

REPORTS[27] = { need = 6, decode = function(tree, p)
    add(tree, "leakage.running", p, 0, 1)
    add(tree, "leakage.phase", p, 1, 1)
    add(tree, "leakage.time_passed", p, 2, 4)
    unused(tree, p, 6, p:len())
    return "time passed=" .. p(2, 4):int()
end }

REPORTS[31] = { need = 15, decode = function(tree, p)
    local parts = {}
    for n = 0, 2 do
        local base = n * 5
        local sub = tree:add(p(base, 5), "Regulator " .. (n + 1))
        sub:add(F["regulator.channel"], p(base, 0), n):set_generated()
        add(sub, "regulator.active", p, base, 1)
        local current = p(base + 1, 2):uint()
        local duty = p(base + 3, 2):uint()
        addValue(sub, "regulator.current", p, base + 1, 2, current / 1000, "(raw " .. current .. ")")
        addValue(sub, "regulator.duty_cycle", p, base + 3, 2, duty / 10, "(raw " .. duty .. ")")
        parts[#parts + 1] = string.format("%d:%s/%s/%s", n + 1, p(base, 1):uint(),
                                          fmt2(current / 1000), fmt2(duty / 10))
    end
    unused(tree, p, 15, p:len())
    return "regulators " .. table.concat(parts, " ")
end }

REPORTS[41] = { need = 4, decode = function(tree, p)
    add(tree, "stand.rpm", p, 0, 4)
    unused(tree, p, 4, p:len())
    return "rpm=" .. p(0, 4):int()
end }

REPORTS[42] = { need = 1, decode = function(tree, p)
    add(tree, "stand.active", p, 0, 1)
    unused(tree, p, 1, p:len())
    return "active=" .. p(0, 1):uint()
end }

REPORTS[46] = { need = 11, decode = function(tree, p)
    add(tree, "stand.temperature_set", p, 0, 1)
    unused(tree, p, 1, 3)
    local t1, t2 = p(3, 4):int(), p(7, 4):int()
    addValue(tree, "stand.temperature1", p, 3, 4, t1 / 100, "(hundredths " .. t1 .. ")")
    addValue(tree, "stand.temperature2", p, 7, 4, t2 / 100, "(hundredths " .. t2 .. ")")
    unused(tree, p, 11, p:len())
    return string.format("temperatures %s %s", fmt2(t1 / 100), fmt2(t2 / 100))
end }

REPORTS[47] = { need = 5, decode = function(tree, p)
    add(tree, "stand.fan", p, 0, 1)
    add(tree, "stand.pump", p, 1, 1)
    add(tree, "stand.motor", p, 2, 1)
    add(tree, "stand.direction", p, 3, 1)
    add(tree, "stand.tank", p, 4, 1)
    if p:len() > 5 then
        add(tree, "stand.temperature_set", p, 5, 1)
    end
    unused(tree, p, 6, p:len())
    return string.format("fan=%d pump=%d motor=%d tank=%d", p(0, 1):uint(), p(1, 1):uint(),
                         p(2, 1):uint(), p(4, 1):uint())
end }

REPORTS[53] = { need = 80, decode = function(tree, p)
    local parts = {}
    for k = 0, 9 do
        local base = k * 8
        local sub = tree:add(p(base, 8), "Channel " .. (k + 1))
        sub:add(F["flow.channel"], p(base, 0), k + 1):set_generated()
        add(sub, "flow.cal_denominator", p, base, 4)
        add(sub, "flow.cal_numerator", p, base + 4, 4)
        local den, num = p(base, 4):int(), p(base + 4, 4):int()
        local ratio
        if den == 0 then
            ratio = num == 0 and math.abs(0 / 0) or (num > 0 and math.huge or -math.huge)
        else
            ratio = num / den * 1000
        end
        sub:add(F["flow.calibration"], p(base, 8), ratio):set_generated()
        parts[#parts + 1] = fmt2(ratio)
    end
    unused(tree, p, 80, p:len())
    return "calibration " .. table.concat(parts, ",")
end }

REPORTS[55] = { need = 90, decode = function(tree, p)
    local parts = {}
    for k = 0, 9 do
        local base = k * 9
        local sub = tree:add(p(base, 9), "Channel " .. (k + 1))
        sub:add(F["flow.channel"], p(base, 0), k + 1):set_generated()
        add(sub, "flow.divisor", p, base, 1)
        add(sub, "flow.count", p, base + 1, 8)
        local divisor = p(base, 1):uint()
        if divisor == 0 then
            divisor = 1
        end
        local flow = p(base + 1, 8):uint64() / UInt64(divisor)
        sub:add(F["flow.flow"], p(base, 9), flow):set_generated()
        parts[#parts + 1] = tostring(flow)
    end
    unused(tree, p, 90, p:len())
    return "flow " .. table.concat(parts, ",")
end }

REPORTS[62] = { need = 15, decode = function(tree, p)
    unused(tree, p, 0, 1)
    add(tree, "delay.total", p, 1, 4)
    add(tree, "delay.count", p, 5, 2)
    add(tree, "delay.min", p, 7, 4)
    add(tree, "delay.max", p, 11, 4)
    local total, count = p(1, 4):int(), p(5, 2):uint()
    local average = 0
    if count ~= 0 then
        -- Truncated toward zero, as the daemon divides.
        local q = total / count
        average = q < 0 and math.ceil(q) or math.floor(q)
    end
    tree:add(F["delay.average"], p(1, 6), average):set_generated()
    unused(tree, p, 15, p:len())
    local minimum = p(7, 4):int()
    return string.format("min=%d max=%d average=%d", minimum < 0 and 0 or minimum,
                         p(11, 4):int(), average)
end }

-- Commands

COMMANDS[2] = { need = 0, decode = function(tree, p)
    unused(tree, p, 0, p:len())
    return "version request"
end }

COMMANDS[4] = { need = 1, decode = function(tree, p)
    add(tree, "schedule.op", p, 0, 1)
    if p(0, 1):uint() == 0xFF then
        unused(tree, p, 1, p:len())
        return "clear the schedule"
    end
    if p:len() < 7 then
        return nil, 7
    end
    local code = p(1, 1):uint()
    add(tree, "schedule.code", p, 1, 1)
    add(tree, "schedule.period_size", p, 2, 1)
    add(tree, "schedule.period", p, 3, 4)
    unused(tree, p, 7, p:len())
    return string.format("schedule %d %s every %d ms", code, REPORT_NAMES[code] or "?",
                         p(3, 4):uint())
end }

COMMANDS[10] = { need = 2, decode = function(tree, p)
    add(tree, "tester.sensor_type", p, 0, 1)
    add(tree, "tester.pressure_reset", p, 1, 1)
    unused(tree, p, 2, p:len())
    if p(1, 1):uint() ~= 0 then
        return "pressure reset"
    end
    return "sensor type=" .. p(0, 1):uint()
end }

COMMANDS[11] = { need = 16, decode = function(tree, p)
    add(tree, "injector.count", p, 0, 1)
    add(tree, "injector.channels", p, 1, 1)
    add(tree, "injector.remaining", p, 2, 4)
    add(tree, "injector.first", p, 6, 4)
    add(tree, "injector.period", p, 10, 4)
    add(tree, "injector.reserved", p, 14, 1)
    add(tree, "injector.piezo", p, 15, 1)
    unused(tree, p, 16, p:len())
    return string.format("count=%d outputs=0x%02x first=%d rest=%d period=%d", p(0, 1):uint(),
                         p(1, 1):uint(), p(6, 4):uint(), p(2, 4):uint(), p(10, 4):uint())
end }

COMMANDS[12] = { need = 0, decode = function(tree, p, ctx)
    if ctx.access == 2 or p:len() == 0 then
        unused(tree, p, 0, p:len())
        return "injector status request"
    end
    add(tree, "injector.active", p, 0, 1)
    unused(tree, p, 1, p:len())
    return "injectors active=" .. p(0, 1):uint()
end }

local function injectorCurrents(tree, p)
    if p:len() < 5 then
        return nil, 6
    end
    unused(tree, p, 0, 1)
    local i1, i2 = p(1, 2):uint(), p(3, 2):uint()
    addValue(tree, "injector.i1", p, 1, 2, (i1 - 25000) / 250, "(raw " .. i1 .. ")")
    add(tree, "injector.i1_raw", p, 1, 2)
    addValue(tree, "injector.i2", p, 3, 2, (i2 - 25000) / 250, "(raw " .. i2 .. ")")
    add(tree, "injector.i2_raw", p, 3, 2)
    unused(tree, p, 5, p:len())
    return string.format("i1=%s i2=%s", fmt2((i1 - 25000) / 250), fmt2((i2 - 25000) / 250))
end

local function delaySensitivity(tree, p)
    unused(tree, p, 0, 1)
    local raw = p(1, 2):uint()
    addValue(tree, "delay.sensitivity", p, 1, 2, raw / 10000, "(raw " .. raw .. ")")
    unused(tree, p, 3, p:len())
    return string.format("sensitivity=%.4f", raw / 10000)
end

-- The delay meter's sensitivity travels on the tester's current code, one byte shorter.
local function isDelaySensitivity(ctx, length)
    if ctx.board then
        return ctx.board == 5
    end
    return length == 5
end

COMMANDS[13] = { need = 3, decode = function(tree, p, ctx)
    if ctx.name == "DELAY_SENSITIVITY" then
        return delaySensitivity(tree, p)
    end
    return injectorCurrents(tree, p)
end }

COMMANDS[18] = { need = 2, decode = function(tree, p)
    unused(tree, p, 0, 1)
    add(tree, "injector.voltage", p, 1, 1)
    unused(tree, p, 2, p:len())
    return "voltage=" .. p(1, 1):uint()
end }

COMMANDS[20] = { need = 1, decode = function(tree, p)
    add(tree, "osc.start", p, 0, 1)
    unused(tree, p, 1, p:len())
    return "osc=" .. p(0, 1):uint()
end }

COMMANDS[27] = { need = 10, decode = function(tree, p)
    add(tree, "leakage.start_pressure", p, 0, 2)
    add(tree, "leakage.high_pressure", p, 2, 2)
    add(tree, "leakage.low_pressure", p, 4, 2)
    add(tree, "leakage.max_time", p, 6, 4)
    unused(tree, p, 10, p:len())
    return string.format("start=%d high=%d low=%d max time=%d", p(0, 2):uint(), p(2, 2):uint(),
                         p(4, 2):uint(), p(6, 4):int())
end }

COMMANDS[30] = { need = 10, decode = function(tree, p)
    add(tree, "regulator.channel", p, 0, 1)
    local current, duty = p(1, 2):uint(), p(5, 2):uint()
    addValue(tree, "regulator.current", p, 1, 2, current / 1000, "(raw " .. current .. ")")
    add(tree, "regulator.pressure", p, 3, 2)
    addValue(tree, "regulator.duty_cycle", p, 5, 2, duty / 10, "(raw " .. duty .. ")")
    add(tree, "regulator.frequency", p, 7, 2)
    add(tree, "regulator.mode", p, 9, 1)
    unused(tree, p, 10, p:len())
    local mode = p(9, 1):uint()
    local value = mode == 0 and fmt2(current / 1000) or
                  (mode == 1 and string.format("%.1f", duty / 10) or tostring(p(3, 2):uint()))
    return string.format("regulator %d %s=%s", p(0, 1):uint() + 1,
                         REGULATOR_MODES[mode] or "mode " .. mode, value)
end }

COMMANDS[31] = { need = 3, decode = function(tree, p)
    add(tree, "regulator.channel", p, 0, 1)
    add(tree, "regulator.active", p, 1, 1)
    add(tree, "regulator.current_limit", p, 2, 1)
    unused(tree, p, 3, p:len())
    return string.format("regulator %d active=%d", p(0, 1):uint() + 1, p(1, 1):uint())
end }

COMMANDS[41] = { need = 3, decode = function(tree, p)
    add(tree, "stand.rpm_setpoint", p, 0, 2)
    add(tree, "stand.direction", p, 2, 1)
    unused(tree, p, 3, p:len())
    return string.format("rpm=%d direction=%d", p(0, 2):uint(), p(2, 1):uint())
end }

COMMANDS[42] = { need = 1, decode = function(tree, p)
    add(tree, "stand.active", p, 0, 1)
    unused(tree, p, 1, p:len())
    return "active=" .. p(0, 1):uint()
end }

COMMANDS[46] = { need = 4, decode = function(tree, p)
    local raw = p(0, 4):int()
    addValue(tree, "stand.temperature_setpoint", p, 0, 4, raw / 100, "(hundredths " .. raw .. ")")
    unused(tree, p, 4, p:len())
    return "temperature set-point=" .. fmt2(raw / 100)
end }

COMMANDS[47] = { need = 2, decode = function(tree, p)
    add(tree, "stand.switch", p, 0, 1)
    local which = p(0, 1):uint()
    if which == 0 then
        add(tree, "stand.fan", p, 1, 1)
    elseif which == 1 then
        add(tree, "stand.pump", p, 1, 1)
    else
        unused(tree, p, 1, 1)
    end
    unused(tree, p, 2, p:len())
    return string.format("%s=%d", SWITCHES[which] or ("switch " .. which), p(1, 1):uint())
end }

COMMANDS[54] = { need = 1, decode = function(tree, p)
    add(tree, "flow.window", p, 0, 1)
    unused(tree, p, 1, p:len())
    return "window=" .. p(0, 1):uint()
end }

COMMANDS[56] = { need = 0, decode = function(tree, p)
    unused(tree, p, 0, p:len())
    return "flowmeter reset"
end }

COMMANDS[60] = { need = 0, decode = function(tree, p)
    if p:len() == 0 then
        return "reset"
    end
    add(tree, "delay.reset_kind", p, 0, 1)
    unused(tree, p, 1, p:len())
    return "delay meter reset"
end }

-------------------------------------------------------------------------------------------
-- Records

-- Decodes one data frame's payload; returns a summary for the info column.
local function dissectPayload(tree, tvb, offset, length, ctx)
    local fromBoard = ctx.direction == FROM_BOARD
    local decoders = fromBoard and REPORTS or COMMANDS
    local decoder = decoders[ctx.code]
    local range = tvb(offset, length)
    local item = tree:add(F["payload"], range)
    if not fromBoard and ctx.direction ~= TO_BOARD then
        item:add_proto_expert_info(E.unknown, "A frame recorded with a client direction")
        return "?"
    end
    if decoder == nil then
        if fromBoard and UNDECODED_REPORTS[ctx.code] then
            item:add_proto_expert_info(E.undecoded)
            return "not decoded by the daemon"
        end
        item:add_proto_expert_info(E.unknown, string.format("Unknown %s code %d",
                                   fromBoard and "report" or "command", ctx.code))
        return "unknown code"
    end
    local p = range:tvb()
    local need = decoder.need
    if length < need then
        item:add_proto_expert_info(E.short, string.format("Payload of %d bytes; %s needs %d",
                                   length, ctx.name or "this code", need))
        return "short payload"
    end
    local ok, summary, needMore = pcall(decoder.decode, item, p, ctx)
    if not ok then
        item:add_proto_expert_info(E.malformed, "Payload not decoded: " .. tostring(summary))
        return "malformed payload"
    end
    if summary == nil then
        item:add_proto_expert_info(E.short, string.format("Payload of %d bytes; %s needs %d",
                                   length, ctx.name or "this code", needMore or 0))
        return "short payload"
    end
    return summary
end

local function dissectFrame(tree, tvb, offset, ctx, kind, crcBadFlag)
    local total = tvb:len() - offset
    local sub = tree:add(tvb(offset, total), KINDS[kind])
    -- Start bytes: two A5, or one when the line carried only one.
    local starts = 0
    while starts < 2 and starts < total and tvb(offset + starts, 1):uint() == START do
        starts = starts + 1
    end
    -- A single A5 followed by the kind byte; two A5 where the second is taken as the kind
    -- byte cannot happen, as the kind bytes are not A5.
    if starts == 0 then
        sub:add_proto_expert_info(E.malformed, "Frame without a start byte")
        return "malformed frame"
    end
    sub:add(F["start"], tvb(offset, starts))
    local single = starts == 1
    sub:add(F["single_start"], tvb(offset, starts), single):set_generated()
    if single then
        sub:add_proto_expert_info(E.single)
    end
    local pos = offset + starts
    local function truncated(what)
        if pos < tvb:len() then
            sub:add(F["truncated"], tvb(pos, tvb:len() - pos))
        end
        sub:add_proto_expert_info(E.malformed, "Frame ends before its " .. what)
        return "truncated frame"
    end
    if pos >= tvb:len() then
        return truncated("kind byte")
    end
    local frameKind = tvb(pos, 1):uint()
    sub:add(F["frame_kind"], tvb(pos, 1))
    pos = pos + 1
    local expected = kind == ACK and KIND_ACK or KIND_DATA
    if frameKind ~= expected then
        sub:add_proto_expert_info(E.malformed, string.format(
            "Kind byte 0x%02x in a record of kind %s", frameKind, KINDS[kind]))
    end
    local crcFrom = pos
    if pos >= tvb:len() then
        return truncated("number")
    end
    ctx.number = tvb(pos, 1):uint()
    sub:add(F["number"], tvb(pos, 1))
    pos = pos + 1
    local summary
    if frameKind == KIND_ACK then
        summary = nil
    else
        if pos + 3 > tvb:len() then
            return truncated("header")
        end
        ctx.code = tvb(pos, 1):uint()
        ctx.access = tvb(pos + 1, 1):uint()
        local length = tvb(pos + 2, 1):uint()
        local names = ctx.direction == FROM_BOARD and REPORT_NAMES or COMMAND_NAMES
        ctx.name = names[ctx.code]
        if ctx.direction == TO_BOARD and ctx.code == 13 and isDelaySensitivity(ctx, length) then
            ctx.name = "DELAY_SENSITIVITY"
        end
        sub:add(F["code"], tvb(pos, 1)):append_text(" (" .. (ctx.name or "unknown") .. ")")
        sub:add(F["code_name"], tvb(pos, 1), ctx.name or "unknown"):set_generated()
        sub:add(F["access"], tvb(pos + 1, 1))
        sub:add(F["length"], tvb(pos + 2, 1))
        pos = pos + 3
        if pos + length > tvb:len() then
            return truncated("payload")
        end
        local crcAt = pos + length
        if crcAt < tvb:len() and crc8(tvb, crcFrom, crcAt - crcFrom) ~= tvb(crcAt, 1):uint() then
            -- The daemon drops such a frame: its payload is shown, not decoded.
            if length > 0 then
                sub:add(F["payload"], tvb(pos, length)):append_text(" (not decoded: bad CRC)")
            end
            summary = nil
        else
            summary = dissectPayload(sub, tvb, pos, length, ctx)
        end
        pos = crcAt
    end
    if pos >= tvb:len() then
        return truncated("CRC")
    end
    local crc = tvb(pos, 1):uint()
    local computed = crc8(tvb, crcFrom, pos - crcFrom)
    sub:add(F["crc"], tvb(pos, 1))
    sub:add(F["crc_computed"], tvb(pos, 1), computed):set_generated()
    local good = crc == computed
    local okItem = sub:add(F["crc_ok"], tvb(pos, 1), good)
    okItem:set_generated()
    if not good then
        okItem:add_proto_expert_info(E.crc, string.format("CRC 0x%02x, computed 0x%02x%s", crc,
                                     computed, crcBadFlag and "" or " (yet the record's flag says good)"))
        summary = (summary and (summary .. " ") or "") .. "[BAD CRC]"
    end
    pos = pos + 1
    if pos < tvb:len() then
        sub:add(F["unused"], tvb(pos, tvb:len() - pos))
        sub:add_proto_expert_info(E.malformed, "Bytes after the CRC")
    end
    return summary
end

function benchd.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "BENCHD"
    local root = tree:add(benchd, tvb())
    if tvb:len() < 5 then
        root:add_proto_expert_info(E.malformed, "Record shorter than its pseudo-header")
        pinfo.cols.info = "malformed record"
        return tvb:len()
    end
    root:add(F["version"], tvb(0, 1))
    local version = tvb(0, 1):uint()
    if version ~= 1 then
        root:add_proto_expert_info(E.malformed, "Record version " .. version .. " (this dissector reads 1)")
        pinfo.cols.info = "record of version " .. version
        return tvb:len()
    end
    local direction = tvb(1, 1):uint()
    local kind = tvb(2, 1):uint()
    local flags = tvb(3, 1):uint()
    local nameLength = tvb(4, 1):uint()
    root:add(F["direction"], tvb(1, 1))
    root:add(F["kind"], tvb(2, 1))
    local flagsItem = root:add(F["flags"], tvb(3, 1))
    flagsItem:add(F["flags.crc_bad"], tvb(3, 1))
    if 5 + nameLength > tvb:len() then
        root:add_proto_expert_info(E.malformed, "Port name longer than the record")
        pinfo.cols.info = "malformed record"
        return tvb:len()
    end
    local port = ""
    if nameLength > 0 then
        port = tvb(5, nameLength):string()
        root:add(F["port"], tvb(5, nameLength))
    end
    local offset = 5 + nameLength
    local rest = tvb:len() - offset
    local dirName = DIRECTIONS[direction] or ("direction " .. direction)
    local prefix = (port ~= "" and (port .. " ") or "") .. dirName
    root:append_text(", " .. prefix .. ", " .. (KINDS[kind] or ("kind " .. kind)))

    local ctx = { direction = direction, port = port, visited = pinfo.visited }
    local info
    if kind == DATA or kind == ACK then
        ctx.board = boardFor(pinfo, port)
        local summary = dissectFrame(root, tvb, offset, ctx, kind, bit.band(flags, 1) ~= 0)
        if ctx.number == nil then
            info = string.format("%s %s %s", prefix, KIND_SHORT[kind], summary)
        elseif kind == ACK or ctx.code == nil then
            info = string.format("%s %s #%d", prefix, KIND_SHORT[kind], ctx.number)
            if summary then
                info = info .. " " .. summary
            end
        else
            info = string.format("%s %s #%d 0x%02x %s %s", prefix, KIND_SHORT[kind], ctx.number,
                                 ctx.code, ctx.name or "unknown", summary)
        end
    elseif kind == NOISE then
        if rest > 0 then
            root:add(F["noise"], tvb(offset, rest))
        end
        root:add(F["noise_length"], tvb(offset, rest), rest):set_generated()
        root:add_proto_expert_info(E.noise, rest .. " bytes skipped")
        info = string.format("%s noise, %d bytes", prefix, rest)
    elseif kind == TEXT then
        local text = rest > 0 and tvb(offset, rest):string() or ""
        root:add(F["text"], tvb(offset, rest))
        local colon = string.find(text, ":", 1, true)
        if colon then
            root:add(F["key"], tvb(offset, colon - 1), string.sub(text, 1, colon - 1))
            root:add(F["value"], tvb(offset + colon, rest - colon), string.sub(text, colon + 1))
        else
            root:add(F["key"], tvb(offset, rest), text)
        end
        info = prefix .. " " .. text
    elseif kind == GAP then
        if rest ~= 8 then
            root:add_proto_expert_info(E.malformed, "Gap count of " .. rest .. " bytes (8 expected)")
            info = prefix .. " malformed gap"
        else
            local item = root:add_le(F["gap"], tvb(offset, 8))
            item:add_proto_expert_info(E.gap)
            info = string.format("%s gap: %s records dropped", prefix, tostring(tvb(offset, 8):le_uint64()))
        end
    elseif kind == OPENED or kind == CLOSED then
        if not pinfo.visited then
            boardOfPort[port] = nil
        end
        if rest > 0 then
            root:add(F["unused"], tvb(offset, rest))
        end
        info = string.format("%s %s", port, KINDS[kind])
    else
        root:add_proto_expert_info(E.malformed, "Unknown record kind " .. kind)
        if rest > 0 then
            root:add(F["payload"], tvb(offset, rest))
        end
        info = prefix .. " unknown record kind " .. kind
    end
    pinfo.cols.info = info
    return tvb:len()
end

local encap = (wtap_encaps and wtap_encaps.USER0) or (wtap and wtap.USER0) or 45
DissectorTable.get("wtap_encap"):add(encap, benchd)
