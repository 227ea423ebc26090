#include "quillon/geom.hpp"

#include <GeographicLib/Geodesic.hpp>

#include <cmath>
#include <string>

#include "quillon/internal_error.hpp"

namespace quillon::geom {

namespace {

constexpr float pi_f32 = 3.1415927f;
constexpr float degree_f32 = 0.017453292f;  // pi / 180
constexpr float two_pi_f32 = 6.2831855f;

float to_radians(float degrees) { return (degrees * pi_f32) / 180.0f; }

}  // namespace

const SubfaultRay& SubfaultGeometry::at(std::size_t i, std::size_t j) const {
    if (i < 1 || i > along_strike_count || j < 1 || j > down_dip_count) {
        internal_stop("subfault (" + std::to_string(i) + "," + std::to_string(j) + ") is outside the " +
                      std::to_string(along_strike_count) + "x" + std::to_string(down_dip_count) + " grid");
    }
    return rays[(j - 1) * along_strike_count + (i - 1)];
}

DistanceAzimuth distance_azimuth(GeoPoint event, GeoPoint station) {
    // The WGS84 geodesic object is a function-local static of the library: built once, under the
    // compiler's thread-safe initialisation, and only read afterwards.
    const GeographicLib::Geodesic& wgs84 = GeographicLib::Geodesic::WGS84();
    double s12_m = 0.0;
    double azi1_deg = 0.0;
    double azi2_deg = 0.0;
    wgs84.Inverse(static_cast<double>(event.lat_deg), static_cast<double>(event.lon_deg),
                  static_cast<double>(station.lat_deg), static_cast<double>(station.lon_deg), s12_m, azi1_deg,
                  azi2_deg);

    DistanceAzimuth result{};
    result.deltkm = static_cast<float>(s12_m / 1000.0);
    const double azimuth_deg = azi1_deg < 0.0 ? azi1_deg + 360.0 : azi1_deg;
    // A small negative azimuth can round up to 360 in single precision.
    result.azesdg = static_cast<float>(azimuth_deg);
    if (result.azesdg >= 360.0f) result.azesdg = 0.0f;
    result.azes = result.azesdg * degree_f32;
    if (result.azes >= two_pi_f32) result.azes = 0.0f;
    return result;
}

SubfaultGeometry subfault_geometry(const FaultPlane& plane, GeoPoint station) {
    // Kilometres per degree of longitude and latitude at the origin.
    const float lat0 = plane.origin.lat_deg;
    const DistanceAzimuth east = distance_azimuth(GeoPoint{lat0, 0.0f}, GeoPoint{lat0, 1.0f});
    const DistanceAzimuth north = distance_azimuth(GeoPoint{lat0, 0.0f}, GeoPoint{lat0 + 1.0f, 0.0f});
    const float ddx = std::sin(to_radians(east.azesdg)) * east.deltkm;
    const float ddy = std::cos(to_radians(north.azesdg)) * north.deltkm;

    const float strike_rad = to_radians(plane.strike_deg);
    const float dip_rad = to_radians(plane.dip_deg);
    const float sin_d = std::sin(dip_rad);
    const float cos_d = std::cos(dip_rad);
    const float sin_s = std::sin(strike_rad);
    const float cos_s = std::cos(strike_rad);
    const float length = plane.subfault_length_km;
    const float width = plane.subfault_width_km;

    SubfaultGeometry geometry;
    geometry.along_strike_count = plane.along_strike_count;
    geometry.down_dip_count = plane.down_dip_count;
    geometry.rays.reserve(checked_mul(plane.along_strike_count, plane.down_dip_count));

    for (std::size_t r = 0; r < plane.down_dip_count; ++r) {
        const float down_dip = static_cast<float>(r) * width + 0.5f * width;
        const float depth_km = sin_d * down_dip + plane.top_depth_km;
        const float hd = down_dip * cos_d;
        for (std::size_t i = 1; i <= plane.along_strike_count; ++i) {
            const float along = (static_cast<float>(i) - 0.5f) * length - plane.along_strike_offset_km;
            // Down dip points to the right of the strike.
            const float x_km = along * sin_s + cos_s * hd;
            const float y_km = cos_s * along - hd * sin_s;
            const GeoPoint centre{y_km / ddy + plane.origin.lat_deg, plane.origin.lon_deg + x_km / ddx};

            const DistanceAzimuth to_station = distance_azimuth(centre, station);
            SubfaultRay ray{};
            ray.horiz_km = to_station.deltkm;
            ray.azimuth_rad = to_station.azes;
            ray.depth_km = depth_km;
            ray.slant_km = std::sqrt(ray.horiz_km * ray.horiz_km + depth_km * depth_km);
            ray.takeoff_rad = pi_f32 - std::atan2(ray.horiz_km, depth_km);
            geometry.rays.push_back(ray);
        }
    }
    return geometry;
}

}  // namespace quillon::geom
