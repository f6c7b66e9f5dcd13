#!/usr/bin/env python3
"""Writes examples/data/demo-route.nmea: a drive of about three minutes
through a city grid at one fix a second, as a receiver logs it (RMC, GGA and
GSA per fix): a cold start without a fix, pulling away, cruising, a stop at a
light, turns, and the small wander of a consumer receiver.

The output is fixed by the seed; run it again only to change the route.
"""
import math
import random
import sys

random.seed(15)

START = (45.062510, 7.678230)   # latitude, longitude (degrees)
DATE = "211126"                  # ddmmyy
START_SECONDS = 9 * 3600 + 12 * 60  # 09:12:00 UTC

# (heading in degrees, metres, cruise speed in m/s, seconds stopped at the end)
LEGS = [
    (351, 380, 11.0, 0),
    (351, 240, 12.5, 9),   # a red light
    (81, 320, 10.0, 0),
    (81, 180, 8.5, 4),
    (351, 290, 12.0, 0),
    (261, 260, 9.5, 6),
    (171, 210, 10.5, 0),
]
COLD_START = 4  # seconds of reports without a fix before the first one


def checksum(body):
    c = 0
    for ch in body:
        c ^= ord(ch)
    return "%02X" % c


def sentence(body):
    return "$%s*%s" % (body, checksum(body))


def nmea_lat(lat):
    d = int(abs(lat))
    return "%02d%07.4f" % (d, (abs(lat) - d) * 60), "N" if lat >= 0 else "S"


def nmea_lon(lon):
    d = int(abs(lon))
    return "%03d%07.4f" % (d, (abs(lon) - d) * 60), "E" if lon >= 0 else "W"


def hms(t):
    return "%02d%02d%02d.00" % (t // 3600 % 24, t // 60 % 60, t % 60)


def step(lat, lon, heading, metres):
    r = 6371000.0
    dlat = metres * math.cos(math.radians(heading)) / r
    dlon = metres * math.sin(math.radians(heading)) / (r * math.cos(math.radians(lat)))
    return lat + math.degrees(dlat), lon + math.degrees(dlon)


def samples():
    """(latitude, longitude, speed m/s, heading) once a second."""
    lat, lon = START
    speed = 0.0
    heading = LEGS[0][0]
    for leg_heading, length, cruise, stop in LEGS:
        done = 0.0
        while done < length:
            left = length - done
            braking = stop > 0 and left < speed * speed / 2.0 + 2
            target = 2.0 if braking else cruise
            speed += max(-2.5, min(1.8, target - speed))
            speed = max(1.5, speed + random.uniform(-0.3, 0.3))
            # turning eases from the old heading to the leg's own
            turn = (leg_heading - heading + 540) % 360 - 180
            heading = (heading + max(-35, min(35, turn))) % 360
            lat, lon = step(lat, lon, heading, speed)
            done += speed
            yield lat, lon, speed, heading
        for _ in range(stop):
            speed = 0.0
            yield lat, lon, 0.0, heading


def main(path):
    out = []
    out.append("# A drive of about three minutes through a city grid at one fix a second,")
    out.append("# written by tools/make_demo_route.py.")
    t = START_SECONDS
    for _ in range(COLD_START):
        out.append(sentence("GPRMC,%s,V,,,,,,,%s,,,N" % (hms(t), DATE)))
        out.append(sentence("GPGGA,%s,,,,,0,00,99.99,,,,,," % hms(t)))
        out.append(sentence("GPGSA,A,1,,,,,,,,,,,,,99.99,99.99,99.99"))
        t += 1
    for lat, lon, speed, heading in samples():
        # a receiver's wander: a metre or two, a little more at rest
        jitter = 1.5 if speed > 0 else 0.6
        la, lo = step(lat, lon, random.uniform(0, 360), random.uniform(0, jitter))
        la_text, ns = nmea_lat(la)
        lo_text, ew = nmea_lon(lo)
        knots = speed / 0.514444
        sats = random.choice([8, 9, 9, 10, 11])
        hdop = random.choice([0.8, 0.9, 0.9, 1.0, 1.1])
        alt = 239.0 + random.uniform(-1.5, 1.5)
        out.append(sentence("GPRMC,%s,A,%s,%s,%s,%s,%05.1f,%05.1f,%s,,,A"
                            % (hms(t), la_text, ns, lo_text, ew, knots, heading, DATE)))
        out.append(sentence("GPGGA,%s,%s,%s,%s,%s,1,%02d,%.1f,%.1f,M,47.0,M,,"
                            % (hms(t), la_text, ns, lo_text, ew, sats, hdop, alt)))
        out.append(sentence("GPGSA,A,3,04,05,09,12,17,19,24,25,,,,,%.1f,%.1f,%.1f"
                            % (hdop * 1.7, hdop, hdop * 1.4)))
        t += 1
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")
    print("%s: %d fixes, %d s" % (path, t - START_SECONDS - COLD_START, t - START_SECONDS))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "examples/data/demo-route.nmea")
