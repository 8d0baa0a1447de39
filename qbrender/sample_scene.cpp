#include "qbrender/sample_scene.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "qbrender/image_file.h"
#include "qbrender/qbrender_error.h"

namespace fs = std::filesystem;

namespace {

struct Vec3 {
    double x = 0, y = 0, z = 0;
};
Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 operator*(Vec3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
Vec3 operator*(Vec3 a, Vec3 b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
double dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 normalize(Vec3 a) { return a * (1.0 / std::sqrt(dot(a, a))); }
Vec3 mix(Vec3 a, Vec3 b, double t) { return a * (1.0 - t) + b * t; }

double smoothstep(double e0, double e1, double x) {
    const double t = std::clamp((x - e0) / (e1 - e0), 0.0, 1.0);
    return t * t * (3.0 - 2.0 * t);
}

// Integer hash to 0..1: the scene's only source of variation, so every run gives the same
// frame.
double hash(int64_t a, int64_t b, uint32_t seed) {
    uint64_t h = uint64_t(a) * 0x9E3779B97F4A7C15ull ^ (uint64_t(b) + 0x632BE59BD9B4E019ull) ^
                 (uint64_t(seed) << 32);
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return double(h >> 11) * (1.0 / 9007199254740992.0);
}

double valueNoise(double x, double y, uint32_t seed) {
    const double fx = std::floor(x), fy = std::floor(y);
    const int64_t ix = int64_t(fx), iy = int64_t(fy);
    const double tx = smoothstep(0.0, 1.0, x - fx), ty = smoothstep(0.0, 1.0, y - fy);
    const double a = hash(ix, iy, seed), b = hash(ix + 1, iy, seed);
    const double c = hash(ix, iy + 1, seed), d = hash(ix + 1, iy + 1, seed);
    return (a + (b - a) * tx) * (1.0 - ty) + (c + (d - c) * tx) * ty;
}

// Four octaves of value noise, 0..1.
double fbm(double x, double y, uint32_t seed) {
    double sum = 0.0, amplitude = 0.5;
    for (int octave = 0; octave < 4; ++octave) {
        sum += amplitude * valueNoise(x, y, seed + uint32_t(octave));
        x *= 2.03;
        y *= 2.03;
        amplitude *= 0.5;
    }
    return sum / 0.9375;
}

// Camera at (0, 1.3, 0) looking along +z, so the depth along the view axis is the z of a hit.
constexpr double kEyeHeight = 1.3;
constexpr double kHalfFovTan = 0.38386403503541577;  // tan(21 degrees): 42 degrees vertical

struct Sphere {
    Vec3 centre;
    double radius;
};
constexpr int kSphereCount = 4;
const Sphere kSpheres[kSphereCount] = {
    {{-1.1, 0.55, 4.0}, 0.55},
    {{1.5, 0.8, 7.5}, 0.8},
    {{-3.6, 1.3, 14.0}, 1.3},
    {{0.5, 2.0, 30.0}, 2.0},
};
const Vec3 kSphereColor[kSphereCount] = {
    {0.75, 0.14, 0.06}, {0.08, 0.22, 0.75}, {0.45, 0.62, 0.12}, {0.70, 0.68, 0.64}};

// The near post: a vertical cylinder from the ground to 4 units up.
constexpr double kPostX = 0.62, kPostZ = 1.45, kPostRadius = 0.06, kPostTop = 4.0;

// Linear-light colours; the frame is gamma-encoded at the end.
const Vec3 kToLight = normalize({-0.6, 0.75, -0.35});
const Vec3 kLightColor = {1.15, 1.0, 0.85};
const Vec3 kSkyLight = {0.16, 0.18, 0.27};
const Vec3 kSkyHorizon = {0.85, 0.42, 0.22};
const Vec3 kSkyTop = {0.05, 0.08, 0.24};

enum Object : int { kSky, kBuilding, kGround, kSphere0, kPost = kSphere0 + kSphereCount };

struct Sample {
    Vec3 color;
    double z = 0;
    int object = kSky;
};

bool hitSphere(Vec3 origin, Vec3 dir, const Sphere& s, double* t) {
    const Vec3 oc = origin - s.centre;
    const double b = dot(oc, dir);
    const double c = dot(oc, oc) - s.radius * s.radius;
    const double disc = b * b - c;
    if (disc < 0.0) {
        return false;
    }
    const double root = -b - std::sqrt(disc);
    if (root <= 1e-6) {
        return false;
    }
    *t = root;
    return true;
}

bool hitPost(Vec3 origin, Vec3 dir, double* t) {
    const double ox = origin.x - kPostX, oz = origin.z - kPostZ;
    const double a = dir.x * dir.x + dir.z * dir.z;
    if (a < 1e-12) {
        return false;
    }
    const double b = ox * dir.x + oz * dir.z;
    const double c = ox * ox + oz * oz - kPostRadius * kPostRadius;
    const double disc = b * b - a * c;
    if (disc < 0.0) {
        return false;
    }
    const double root = (-b - std::sqrt(disc)) / a;
    const double y = origin.y + root * dir.y;
    if (root <= 1e-6 || y < 0.0 || y > kPostTop) {
        return false;
    }
    *t = root;
    return true;
}

// Soft shadow towards the light: 1 lit, 0 fully shadowed. The penumbra widens with the distance
// to the occluder, from the closest approach of the light ray to each object.
double lightVisibility(Vec3 p, int self) {
    double visible = 1.0;
    for (int i = 0; i < kSphereCount; ++i) {
        if (self == kSphere0 + i) {
            continue;
        }
        const Vec3 to_centre = kSpheres[i].centre - p;
        const double along = dot(to_centre, kToLight);
        if (along <= 0.0) {
            continue;
        }
        const Vec3 closest = to_centre - kToLight * along;
        const double miss = std::sqrt(dot(closest, closest));
        const double penumbra = 0.02 + 0.05 * along;
        visible *= smoothstep(kSpheres[i].radius - penumbra, kSpheres[i].radius + penumbra, miss);
    }
    if (self != kPost) {
        const double lx = kToLight.x, lz = kToLight.z;
        const double dx = kPostX - p.x, dz = kPostZ - p.z;
        const double horizontal = std::sqrt(lx * lx + lz * lz);
        const double along = (dx * lx + dz * lz) / horizontal;
        const double height = p.y + kToLight.y * along / horizontal;
        if (along > 0.0 && height < kPostTop) {
            const double miss = std::abs(dx * lz - dz * lx) / horizontal;
            const double penumbra = 0.01 + 0.04 * along;
            visible *= smoothstep(kPostRadius - penumbra, kPostRadius + penumbra, miss);
        }
    }
    return visible;
}

Vec3 litSurface(Vec3 p, Vec3 n, Vec3 view, Vec3 albedo, double gloss, int self) {
    const double diffuse = std::max(0.0, dot(n, kToLight));
    const double visible = diffuse > 0.0 ? lightVisibility(p, self) : 0.0;
    const Vec3 half_vector = normalize(kToLight - view);
    // cos^90 is below 1e-4 under 0.9: skip the power there.
    const double facing = dot(n, half_vector);
    const double specular = diffuse > 0.0 && facing > 0.9 ? gloss * std::pow(facing, 90.0) : 0.0;
    const double hemisphere = 0.55 + 0.45 * n.y;
    return albedo * (kLightColor * (diffuse * visible) + kSkyLight * hemisphere) +
           kLightColor * (specular * visible);
}

// Window lights of the skyline and stars of the sky: small round Gaussian dots, bright far
// above the backdrop. `sigma` is the dot size in backdrop units (at least about a pixel).
Vec3 backdropLights(double u, double v, double roof, double sigma) {
    Vec3 sum;
    constexpr double kCellW = 1.25, kCellH = 1.6;
    const int64_t cx = int64_t(std::floor(u / kCellW)), cy = int64_t(std::floor(v / kCellH));
    for (int64_t j = cy - 1; j <= cy + 1; ++j) {
        for (int64_t i = cx - 1; i <= cx + 1; ++i) {
            const double pick = hash(i, j, 11);
            const double lx = (double(i) + 0.5 + 0.2 * (hash(i, j, 12) - 0.5)) * kCellW;
            const double ly = (double(j) + 0.55) * kCellH;
            const bool window = ly > 1.2 && ly < roof - 0.6 && pick < 0.2;
            const bool star = ly > roof + 2.0 && pick < 0.025;
            if (!window && !star) {
                continue;
            }
            const double d2 = (u - lx) * (u - lx) + (v - ly) * (v - ly);
            const double falloff = std::exp(-d2 / (2.0 * sigma * sigma));
            if (falloff < 1e-4) {
                continue;
            }
            const double tint = hash(i, j, 13);
            Vec3 color = tint < 0.55   ? Vec3{1.0, 0.72, 0.38}
                         : tint < 0.85 ? Vec3{0.85, 0.92, 1.0}
                         : tint < 0.93 ? Vec3{0.4, 1.0, 0.95}
                                       : Vec3{1.0, 0.45, 0.7};
            const double power = star ? 1.5 + 2.0 * hash(i, j, 14) : 6.0 + 8.0 * hash(i, j, 14);
            sum = sum + color * (power * falloff);
        }
    }
    return sum;
}

// Roof height of the skyline at backdrop position u: blocks 5 units wide, 5 to 24 high.
double roofAt(double u) {
    const int64_t block = int64_t(std::floor(u / 5.0));
    const double h = hash(block, 0, 21);
    return 5.0 + 19.0 * h * h;
}

Vec3 backdrop(Vec3 p, double sigma, int* object) {
    const double u = p.x, v = p.y;
    const double roof = roofAt(u);
    const Vec3 lights = backdropLights(u, v, roof, sigma);
    if (v < roof) {
        *object = kBuilding;
        const double grain = fbm(u * 0.4, v * 0.4, 31);
        const double frame_u = std::abs(std::fmod(u + 1000.0, 1.25) - 0.625);
        const double frame_v = std::abs(std::fmod(v + 1000.0, 1.6) - 0.8);
        const double pane = smoothstep(0.45, 0.35, frame_u) * smoothstep(0.6, 0.5, frame_v);
        const double glow = 0.35 * smoothstep(12.0, 0.0, v);
        Vec3 facade = Vec3{0.035, 0.04, 0.065} * (0.6 + 0.8 * grain) +
                      Vec3{0.02, 0.025, 0.04} * pane + kSkyHorizon * (0.04 * glow);
        return facade + lights;
    }
    *object = kSky;
    const double height = std::clamp((v - 2.0) / 30.0, 0.0, 1.0);
    Vec3 sky = mix(kSkyHorizon, kSkyTop, std::sqrt(height));
    const double clouds = smoothstep(0.45, 0.8, fbm(u * 0.05, v * 0.12, 41));
    sky = mix(sky, Vec3{0.55, 0.32, 0.3} * (1.0 - 0.6 * height), 0.5 * clouds);
    return sky + lights;
}

Vec3 ground(Vec3 p, Vec3 view, double footprint) {
    const int64_t tx = int64_t(std::floor(p.x)), tz = int64_t(std::floor(p.z));
    const bool dark = ((tx + tz) & 1) != 0;
    const double wear = fbm(p.x * 1.7, p.z * 1.7, 51);
    // Fade the tiles into their average where a pixel covers a good part of a tile: no moire.
    const double contrast = 1.0 - smoothstep(0.15, 0.6, footprint);
    const Vec3 light_tile = {0.40, 0.38, 0.34}, dark_tile = {0.22, 0.21, 0.20};
    Vec3 tile = mix(mix(light_tile, dark_tile, 0.5), dark ? dark_tile : light_tile, contrast);
    const double fx = p.x - std::floor(p.x), fz = p.z - std::floor(p.z);
    const double edge = std::min(std::min(fx, 1.0 - fx), std::min(fz, 1.0 - fz));
    const double groove = contrast * (1.0 - smoothstep(0.0, 0.03, edge));
    tile = tile * ((0.75 + 0.5 * wear) * (1.0 - 0.45 * groove));
    return litSurface(p, {0.0, 1.0, 0.0}, view, tile, 0.15, kGround);
}

Vec3 sphereAlbedo(int i, Vec3 n) {
    if (i != 1) {
        return kSphereColor[i];
    }
    // Beach-ball segments on the second sphere, soft-edged so that they need no supersampling.
    const double turns = std::atan2(n.z, n.x) / (2.0 * 3.141592653589793) + 0.5;
    const double segment = std::fmod(turns * 6.0, 1.0);
    const double white = smoothstep(0.45, 0.5, segment) * smoothstep(1.0, 0.95, segment);
    return mix(kSphereColor[i], {0.85, 0.85, 0.82}, white);
}

Vec3 postAlbedo(double y) {
    const double band = std::fmod(y / 0.5, 1.0);
    const double red = smoothstep(0.47, 0.53, band) * smoothstep(1.0, 0.94, band);
    return mix({0.8, 0.8, 0.76}, {0.62, 0.05, 0.04}, red);
}

struct Camera {
    int width, height;
    double aspect;
    // Backdrop units covered by one pixel.
    double backdrop_pixel;
};

// Which objects a ray can hit. Leaving the near post out gives what lies behind it; the post
// still casts its shadow, so everything it does not cover is shaded exactly as in the frame.
enum class PostPresence { with_post, without_post };

Sample trace(const Camera& cam, double px, double py, PostPresence post = PostPresence::with_post) {
    const double sx = (2.0 * px / cam.width - 1.0) * kHalfFovTan * cam.aspect;
    const double sy = (1.0 - 2.0 * py / cam.height) * kHalfFovTan;
    const Vec3 origin = {0.0, kEyeHeight, 0.0};
    const Vec3 dir = normalize({sx, sy, 1.0});

    Sample s;
    double t_best = kSampleFarZ / dir.z;
    s.object = kSky;
    if (dir.y < 0.0) {
        const double t = kEyeHeight / -dir.y;
        if (t < t_best) {
            t_best = t;
            s.object = kGround;
        }
    }
    for (int i = 0; i < kSphereCount; ++i) {
        double t;
        if (hitSphere(origin, dir, kSpheres[i], &t) && t < t_best) {
            t_best = t;
            s.object = kSphere0 + i;
        }
    }
    double t_post;
    if (post == PostPresence::with_post && hitPost(origin, dir, &t_post) && t_post < t_best) {
        t_best = t_post;
        s.object = kPost;
    }

    const Vec3 p = origin + dir * t_best;
    s.z = s.object == kSky ? kSampleFarZ : std::min(double(kSampleFarZ), t_best * dir.z);
    const double haze = 1.0 - std::exp(-s.z / 70.0);
    const Vec3 haze_color = kSkyHorizon * 0.45;
    if (s.object == kSky) {
        s.color = backdrop(p, std::max(0.1, 0.7 * cam.backdrop_pixel), &s.object);
    } else if (s.object == kGround) {
        const double footprint = s.z * (2.0 * kHalfFovTan / cam.height) * (s.z / kEyeHeight);
        s.color = mix(ground(p, dir, footprint), haze_color, haze);
    } else if (s.object == kPost) {
        const Vec3 n = normalize({p.x - kPostX, 0.0, p.z - kPostZ});
        s.color = litSurface(p, n, dir, postAlbedo(p.y), 0.35, kPost);
    } else {
        const int i = s.object - kSphere0;
        const Vec3 n = normalize(p - kSpheres[i].centre);
        s.color = mix(litSurface(p, n, dir, sphereAlbedo(i, n), 1.4, s.object), haze_color, haze);
    }
    return s;
}

// Gamma 2.2 encoding. Most of the frame is within 0..1, where a table with linear
// interpolation (error below 1e-5 above 0.01) is much cheaper than a power per channel.
class Encoder {
public:
    Encoder() {
        for (int i = 0; i <= kSteps; ++i) {
            table_[i] = std::pow(double(i) / kSteps, 1.0 / 2.2);
        }
    }
    double operator()(double linear) const {
        if (!(linear > 0.0)) {
            return 0.0;
        }
        if (linear >= 1.0 || linear < 0.01) {
            return std::pow(linear, 1.0 / 2.2);
        }
        const double at = linear * kSteps;
        const int i = int(at);
        return table_[i] + (table_[i + 1] - table_[i]) * (at - i);
    }

private:
    static constexpr int kSteps = 4096;
    double table_[kSteps + 1];
};

const Encoder& encoder() {
    static const Encoder encode;
    return encode;
}

struct ShadedPixel {
    Vec3 color;
    // Whether any of the pixel's samples hit the near post.
    bool saw_post = false;
};

// The linear colour of pixel (x, y), given the pixel-centre samples of the whole frame traced
// with the same `post`. Pixels on an object outline get four more samples (a rotated grid); the
// rest of the frame is smooth by construction.
ShadedPixel shadePixel(const Camera& cam, const std::vector<Sample>& centre, int x, int y,
                       PostPresence post) {
    const int width = cam.width, height = cam.height;
    constexpr double kGrid[4][2] = {{0.125, 0.375}, {0.625, 0.125}, {0.875, 0.625}, {0.375, 0.875}};
    const size_t i = size_t(y) * width + x;
    const int object = centre[i].object;
    const bool outline = (x > 0 && centre[i - 1].object != object) ||
                         (x + 1 < width && centre[i + 1].object != object) ||
                         (y > 0 && centre[i - width].object != object) ||
                         (y + 1 < height && centre[i + width].object != object);
    Vec3 sum = centre[i].color;
    double count = 1.0;
    bool saw_post = object == kPost;
    if (outline) {
        for (const auto& g : kGrid) {
            const Sample s = trace(cam, x + g[0], y + g[1], post);
            sum = sum + s.color;
            count += 1.0;
            saw_post = saw_post || s.object == kPost;
        }
    }
    return {sum * (1.0 / count), saw_post};
}

// Gamma-encoded, opaque float RGBA of pixel i.
void storeColor(std::span<float> rgba, size_t i, Vec3 c) {
    const Encoder& encode = encoder();
    rgba[i * 4 + 0] = float(encode(c.x));
    rgba[i * 4 + 1] = float(encode(c.y));
    rgba[i * 4 + 2] = float(encode(c.z));
    rgba[i * 4 + 3] = 1.0f;
}

// Runs body(first_row, end_row) over bands of rows on a few threads.
template <class Body>
void forRowBands(int height, Body body) {
    const int threads =
        std::clamp(int(std::thread::hardware_concurrency()), 1, std::max(1, std::min(8, height)));
    std::vector<std::thread> workers;
    const int band = (height + threads - 1) / threads;
    for (int t = 1; t < threads; ++t) {
        const int first = t * band, last = std::min(height, first + band);
        if (first < last) {
            workers.emplace_back([=] { body(first, last); });
        }
    }
    body(0, std::min(height, band));
    for (auto& w : workers) {
        w.join();
    }
}

}  // namespace

double sampleDepthGray(double z) {
    const double far_inverse = 1.0 / kSampleFarZ;
    const double g = (1.0 / z - far_inverse) / (1.0 / kSampleNearZ - far_inverse);
    return std::clamp(g, 0.0, 1.0);
}

SampleScene makeSampleScene(int width, int height, BehindLayer behind) {
    if (width < 1 || height < 1 || width > 16384 || height > 16384) {
        throw std::invalid_argument("sample scene: size " + std::to_string(width) + "x" +
                                    std::to_string(height) + " is not within 1x1 .. 16384x16384");
    }
    const Camera cam{width, height, double(width) / height,
                     kSampleFarZ * 2.0 * kHalfFovTan / height};
    const size_t pixels = size_t(width) * size_t(height);
    std::vector<Sample> centre(pixels);
    forRowBands(height, [&](int first, int last) {
        for (int y = first; y < last; ++y) {
            for (int x = 0; x < width; ++x) {
                centre[size_t(y) * width + x] = trace(cam, x + 0.5, y + 0.5);
            }
        }
    });

    SampleScene scene{Image(width, height, SampleDepth::float32),
                      Image(width, height, SampleDepth::bits16), Image()};
    std::vector<float> z(pixels);
    // Pixels that the post shows in: the behind layer differs from the frame only there.
    std::vector<uint8_t> saw_post(pixels);
    const auto color = scene.color.samplesFloat();
    const auto depth = scene.depth.samples16();
    // Depth stays the pixel centre's.
    forRowBands(height, [&](int first, int last) {
        for (int y = first; y < last; ++y) {
            for (int x = 0; x < width; ++x) {
                const size_t i = size_t(y) * width + x;
                const ShadedPixel shaded = shadePixel(cam, centre, x, y, PostPresence::with_post);
                saw_post[i] = shaded.saw_post;
                storeColor(color, i, shaded.color);
                z[i] = float(centre[i].z);
                const uint16_t gray = unitTo16(sampleDepthGray(centre[i].z));
                depth[i * 4 + 0] = depth[i * 4 + 1] = depth[i * 4 + 2] = gray;
                depth[i * 4 + 3] = 65535;
            }
        }
    });
    if (behind == BehindLayer::render) {
        // A copy of the frame, re-shaded without the post wherever the post showed: every other
        // pixel has the same samples, so it stays bit-identical (colour and Z).
        scene.behind = scene.color;
        std::vector<float> behind_z = z;
        std::vector<Sample> behind_centre = centre;
        forRowBands(height, [&](int first, int last) {
            for (size_t i = size_t(first) * width; i < size_t(last) * width; ++i) {
                if (centre[i].object == kPost) {
                    const int x = int(i % width), y = int(i / width);
                    behind_centre[i] = trace(cam, x + 0.5, y + 0.5, PostPresence::without_post);
                }
            }
        });
        const auto behind_color = scene.behind.samplesFloat();
        forRowBands(height, [&](int first, int last) {
            for (int y = first; y < last; ++y) {
                for (int x = 0; x < width; ++x) {
                    const size_t i = size_t(y) * width + x;
                    if (saw_post[i]) {
                        storeColor(
                            behind_color, i,
                            shadePixel(cam, behind_centre, x, y, PostPresence::without_post).color);
                        behind_z[i] = float(behind_centre[i].z);
                    }
                }
            }
        });
        scene.behind.setZ(std::move(behind_z));
    }
    scene.color.setZ(std::move(z));
    return scene;
}

std::vector<fs::path> writeSample(const fs::path& dir, int width, int height) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        if (fs::exists(dir, ec)) {
            throw QbrenderError("cannot write the sample scene: '" + dir.string() +
                                "' is not a folder");
        }
        fs::create_directories(dir, ec);
        if (ec) {
            throw QbrenderError("cannot write the sample scene: cannot create folder '" +
                                dir.string() + "': " + ec.message());
        }
    }
    const SampleScene scene = makeSampleScene(width, height, BehindLayer::render);
    const fs::path exr = dir / "sample.exr", png = dir / "sample.png",
                   depth = dir / "sample_depth.png", behind = dir / "sample_behind.exr";
    writeImage(scene.color, exr);
    writeImage(scene.color.converted(SampleDepth::bits8), png);
    WriteOptions gray;
    gray.gray = true;
    writeImage(scene.depth, depth, gray);
    writeImage(scene.behind, behind);
    return {exr, png, depth, behind};
}
