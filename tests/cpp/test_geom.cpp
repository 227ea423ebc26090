#include "quillon/geom.hpp"

#include <gtest/gtest.h>

#include <GeographicLib/Constants.hpp>
#include <GeographicLib/GeodesicExact.hpp>

#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "quillon/internal_error.hpp"
#include "stop_message.hpp"

namespace {

using quillon::InternalError;
using quillon::geom::FaultPlane;
using quillon::geom::GeoPoint;
using quillon::geom::subfault_geometry;
using quillon::geom::SubfaultGeometry;

using quillon::testing::stop_message;

const GeoPoint origin{35.0f, -118.0f};

// Centres of a grid along strike: along = (i - 0.5) L - offset; an offset of half the length
// puts the middle of the top edge at the origin.
FaultPlane plane(std::size_t columns, std::size_t rows, float strike_deg, float dip_deg) {
    const float length = 4.0f;
    const float width = 2.0f;
    return FaultPlane{origin, columns, rows, strike_deg, dip_deg, 3.0f, static_cast<float>(columns) * length / 2.0f,
                      length, width};
}

// An independent geodesic solver (series-free, by elliptic integrals) on the same ellipsoid.
struct Geodesic {
    double km;
    double azimuth_rad;  // in [0, 2 pi)
};
Geodesic exact_geodesic(GeoPoint from, GeoPoint to) {
    static const GeographicLib::GeodesicExact exact(GeographicLib::Constants::WGS84_a(),
                                                    GeographicLib::Constants::WGS84_f());
    double s12 = 0.0;
    double azi1 = 0.0;
    double azi2 = 0.0;
    exact.Inverse(from.lat_deg, from.lon_deg, to.lat_deg, to.lon_deg, s12, azi1, azi2);
    if (azi1 < 0.0) azi1 += 360.0;
    return Geodesic{s12 / 1000.0, azi1 * std::numbers::pi / 180.0};
}

// Difference of two azimuths, wrapped to [-pi, pi].
double azimuth_gap(double a, double b) { return std::remainder(a - b, 2.0 * std::numbers::pi); }

TEST(SubfaultGeometry, ConcurrentRunsAgree) {
    // Several runs start at once, racing for the first use of the shared ellipsoid.
    const FaultPlane p = plane(4, 3, 35.0f, 60.0f);
    const GeoPoint station{35.4f, -117.6f};
    std::vector<SubfaultGeometry> results(4);
    std::vector<std::thread> threads;
    for (auto& result : results) threads.emplace_back([&] { result = subfault_geometry(p, station); });
    for (auto& thread : threads) thread.join();
    for (const auto& result : results) {
        ASSERT_EQ(result.rays.size(), 12u);
        for (std::size_t k = 0; k < 12; ++k) {
            EXPECT_EQ(result.rays[k].horiz_km, results[0].rays[k].horiz_km);
            EXPECT_EQ(result.rays[k].azimuth_rad, results[0].rays[k].azimuth_rad);
        }
    }
}

TEST(SubfaultGeometry, OneSubfaultAgainstAnIndependentGeodesic) {
    // A single vertical subfault whose centre lies on the origin, 1 km below the top edge.
    const FaultPlane p = plane(1, 1, 0.0f, 90.0f);
    struct Case {
        const char* name;
        GeoPoint station;
    };
    const Case cases[] = {
        {"due east", {35.0f, -117.5f}},
        {"due north", {35.5f, -118.0f}},
        {"north-east", {35.6f, -117.3f}},
        {"south-west, far", {33.2f, -119.9f}},
    };
    for (const Case& c : cases) {
        const SubfaultGeometry g = subfault_geometry(p, c.station);
        ASSERT_EQ(g.rays.size(), 1u);
        const auto& ray = g.at(1, 1);
        const Geodesic expected = exact_geodesic(origin, c.station);
        EXPECT_NEAR(ray.horiz_km, expected.km, 1e-6 * expected.km) << c.name;
        EXPECT_NEAR(azimuth_gap(ray.azimuth_rad, expected.azimuth_rad), 0.0, 2e-6) << c.name;
        EXPECT_GE(ray.azimuth_rad, 0.0f) << c.name;
        EXPECT_FLOAT_EQ(ray.depth_km, 4.0f) << c.name;
        const double slant = std::hypot(static_cast<double>(ray.horiz_km), 4.0);
        EXPECT_NEAR(ray.slant_km, slant, 1e-6 * slant) << c.name;
        EXPECT_NEAR(ray.takeoff_rad, std::numbers::pi - std::atan2(ray.horiz_km, 4.0), 1e-6) << c.name;
    }
    EXPECT_NEAR(subfault_geometry(p, cases[0].station).rays[0].azimuth_rad, std::numbers::pi / 2.0, 1e-2);
    EXPECT_EQ(subfault_geometry(p, cases[1].station).rays[0].azimuth_rad, 0.0f);

    // Directly above the centre: straight up.
    const auto above = subfault_geometry(p, origin).rays[0];
    EXPECT_EQ(above.horiz_km, 0.0f);
    EXPECT_EQ(above.slant_km, above.depth_km);
    EXPECT_EQ(above.takeoff_rad, 3.1415927f);
}

TEST(DistanceAzimuth, AzimuthsJustWestOfNorthStayBelowAFullTurn) {
    // Station longitudes a few f32 steps west of the event's: the geodesic azimuth is a tiny
    // negative angle, which becomes just under 360 degrees, or exactly 360 in f32 and then 0.
    const GeoPoint event{35.0f, 1.0f};
    float lon = event.lon_deg;
    std::size_t wrapped = 0;
    for (int step = 0; step < 40; ++step) {
        lon = std::nextafter(lon, -180.0f);
        const auto da = quillon::geom::distance_azimuth(event, GeoPoint{event.lat_deg + 0.5f, lon});
        EXPECT_GE(da.azesdg, 0.0f) << step;
        EXPECT_LT(da.azesdg, 360.0f) << step;
        EXPECT_GE(da.azes, 0.0f) << step;
        EXPECT_LT(da.azes, 6.2831855f) << step;
        if (da.azesdg == 0.0f) {
            EXPECT_EQ(da.azes, 0.0f) << step;
            ++wrapped;
        }
    }
    EXPECT_EQ(wrapped, 2u);  // the first two steps round to 360 degrees
}

TEST(SubfaultGeometry, VerticalFaultStacksRowsUnderOneSurfacePoint) {
    const FaultPlane p = plane(2, 3, 30.0f, 90.0f);
    const GeoPoint station{35.3f, -117.7f};
    const SubfaultGeometry g = subfault_geometry(p, station);
    for (std::size_t i = 1; i <= 2; ++i) {
        for (std::size_t j = 1; j <= 3; ++j) {
            EXPECT_EQ(g.at(i, j).horiz_km, g.at(i, 1).horiz_km);
            EXPECT_EQ(g.at(i, j).azimuth_rad, g.at(i, 1).azimuth_rad);
            EXPECT_FLOAT_EQ(g.at(i, j).depth_km, 3.0f + (static_cast<float>(j) - 0.5f) * 2.0f);
        }
    }
}

TEST(SubfaultGeometry, HorizontalFaultStepsDownDipToTheRightOfStrike) {
    // One column centred on the origin; rows step down dip, all at the top depth. With the
    // station at the origin, each row looks back across the strike line.
    struct Case {
        float strike_deg;
        double azimuth_back_rad;  // from a centre to the origin
    };
    const Case cases[] = {{0.0f, 1.5 * std::numbers::pi},  // down dip is east: look west
                          {90.0f, 0.0},                      // down dip is south: look north
                          {225.0f, 0.75 * std::numbers::pi}};  // down dip is north-west: look south-east
    for (const Case& c : cases) {
        const SubfaultGeometry g = subfault_geometry(plane(1, 3, c.strike_deg, 0.0f), origin);
        for (std::size_t j = 1; j <= 3; ++j) {
            const auto& ray = g.at(1, j);
            EXPECT_EQ(ray.depth_km, 3.0f);
            EXPECT_NEAR(ray.horiz_km, (static_cast<double>(j) - 0.5) * 2.0, 2e-3) << c.strike_deg;
            EXPECT_NEAR(azimuth_gap(ray.azimuth_rad, c.azimuth_back_rad), 0.0, 2e-3) << c.strike_deg;
        }
    }
}

TEST(SubfaultGeometry, ColumnsAreSymmetricAboutTheOriginAlongStrike) {
    const SubfaultGeometry g = subfault_geometry(plane(3, 1, 0.0f, 90.0f), origin);
    EXPECT_EQ(g.at(2, 1).horiz_km, 0.0f);  // the middle column's centre is the origin
    EXPECT_NEAR(g.at(1, 1).horiz_km, 4.0, 2e-3);
    EXPECT_NEAR(g.at(3, 1).horiz_km, 4.0, 2e-3);
    EXPECT_NEAR(azimuth_gap(g.at(1, 1).azimuth_rad, 0.0), 0.0, 1e-4);               // south of it
    EXPECT_NEAR(azimuth_gap(g.at(3, 1).azimuth_rad, std::numbers::pi), 0.0, 1e-4);  // north of it
}

TEST(SubfaultGeometry, RowByRowStorageAndGridBounds) {
    const SubfaultGeometry g = subfault_geometry(plane(2, 3, 45.0f, 30.0f), GeoPoint{35.2f, -117.9f});
    ASSERT_EQ(g.rays.size(), 6u);
    for (std::size_t j = 1; j <= 3; ++j) {
        for (std::size_t i = 1; i <= 2; ++i) EXPECT_EQ(&g.at(i, j), &g.rays[(j - 1) * 2 + (i - 1)]);
    }
    // Entry 0 is the shallowest subfault nearest the start of the top edge; entry 2 starts row 2.
    EXPECT_LT(g.rays[0].depth_km, g.rays[2].depth_km);
    EXPECT_EQ(g.rays[0].depth_km, g.rays[1].depth_km);

    EXPECT_EQ(stop_message([&] { g.at(3, 1); }), "subfault (3,1) is outside the 2x3 grid");
    EXPECT_EQ(stop_message([&] { g.at(1, 4); }), "subfault (1,4) is outside the 2x3 grid");
    EXPECT_EQ(stop_message([&] { g.at(0, 1); }), "subfault (0,1) is outside the 2x3 grid");
    EXPECT_EQ(stop_message([&] { g.at(1, 0); }), "subfault (1,0) is outside the 2x3 grid");

    FaultPlane huge = plane(1, 1, 0.0f, 45.0f);
    huge.along_strike_count = std::numeric_limits<std::size_t>::max() / 2 + 1;
    huge.down_dip_count = 2;
    EXPECT_EQ(stop_message([&] { subfault_geometry(huge, origin); }), "a count overflowed the size type");
}

}  // namespace
