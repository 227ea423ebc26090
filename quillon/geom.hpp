// Straight-line geometry from the centre of every subfault of a segment to one station:
// horizontal distance, depth, slant distance, azimuth and take-off angle. Subfault centres are
// laid out on the fault plane in km and placed on the map with a flat-earth scale measured at
// the segment's reference point; distances and azimuths to the station are geodesics on the
// WGS84 ellipsoid.
#pragma once

#include <cstddef>
#include <vector>

namespace quillon::geom {

struct GeoPoint {
    float lat_deg;
    float lon_deg;
};

// One segment's plane as the station run sees it.
struct FaultPlane {
    GeoPoint origin;  // reference point on the top edge
    std::size_t along_strike_count;
    std::size_t down_dip_count;
    float strike_deg;              // clockwise from north
    float dip_deg;
    float top_depth_km;            // depth of the top edge
    float along_strike_offset_km;  // from the start of the top edge to origin
    float subfault_length_km;      // along strike
    float subfault_width_km;       // down dip
};

// Geodesic distance and forward azimuth (clockwise from north) from one point to another.
struct DistanceAzimuth {
    float deltkm;  // km
    float azes;    // radians, in [0, 2 pi)
    float azesdg;  // degrees, in [0, 360)
};

struct SubfaultRay {
    float slant_km;     // straight-line distance from the subfault centre to the station
    float azimuth_rad;  // from the subfault centre to the station
    float takeoff_rad;  // from the downward vertical: pi - atan2(horiz, depth); pi is straight up
    float horiz_km;     // geodesic distance from the centre to the station
    float depth_km;     // depth of the centre
};

// The rays of all subfaults, row by row down dip from the top edge: (i, j), 1-based, is entry
// (j-1)*along_strike_count + (i-1).
struct SubfaultGeometry {
    std::vector<SubfaultRay> rays;
    std::size_t along_strike_count = 0;
    std::size_t down_dip_count = 0;

    // Internal stop for an index pair outside the grid.
    const SubfaultRay& at(std::size_t i, std::size_t j) const;
};

// Distance and azimuth from event to station on the WGS84 ellipsoid.
DistanceAzimuth distance_azimuth(GeoPoint event, GeoPoint station);

SubfaultGeometry subfault_geometry(const FaultPlane& plane, GeoPoint station);

}  // namespace quillon::geom
